// The part of Preferences.framework's PSListController that the settings
// pane uses, by the framework's own names. The phone build compiles against
// it; the Linux proof build too (gnustep-proof/include/Preferences leads here),
// which implements it in gnustep-proof/Preferences.mm.
#pragma once

#import <Foundation/Foundation.h>
#import <Preferences/PSSpecifier.h>

#if defined(__APPLE__)
#import <UIKit/UIKit.h>
@interface PSViewController : UIViewController
@end
#else
// The proof build has no UIKit; nothing of the view is used.
@interface PSViewController : NSObject
@end
#endif

@interface PSListController : PSViewController {
    // The list the table shows; the controller fills it in -specifiers and
    // the framework releases it.
    NSMutableArray* _specifiers;
}
// The specifiers of <name>.plist in the controller's bundle ("items"), each
// with `target` as its target, its getter readPreferenceValue: and its
// setter setPreferenceValue:specifier:; a button's "action" names its
// selector on the target.
- (NSMutableArray*)loadSpecifiersFromPlistName:(NSString*)name target:(id)target;
- (NSArray*)specifiers;
// The bundle the controller's plists are in: by default the bundle of the
// image its class came from.
- (NSBundle*)bundle;
// Drops the list and asks -specifiers again.
- (void)reloadSpecifiers;
// Asks the getter again for one cell.
- (void)reloadSpecifier:(PSSpecifier*)specifier animated:(BOOL)animated;
- (PSSpecifier*)specifierForID:(NSString*)identifier;
- (id)readPreferenceValue:(PSSpecifier*)specifier;
- (void)setPreferenceValue:(id)value specifier:(PSSpecifier*)specifier;
@end
