// The part of Preferences.framework's PSSpecifier (a private framework, no
// SDK header) that the settings pane uses, by the framework's own names.
// The phone build compiles against it; the Linux proof build implements it
// (gnustep-proof/Preferences.mm).
#pragma once

#import <Foundation/Foundation.h>

// The cell kinds a specifier list ("cell" in a specifier plist) names.
typedef NS_ENUM(NSInteger, PSCellType) {
    PSGroupCell,
    PSLinkCell,
    PSLinkListCell,
    PSListItemCell,
    PSTitleValueCell,
    PSSliderCell,
    PSSwitchCell,
    PSStaticTextCell,
    PSEditTextCell,
    PSSegmentCell,
    PSGiantIconCell,
    PSGiantCell,
    PSSecureEditTextCell,
    PSButtonCell,
    PSEditTextViewCell,
};

@interface PSSpecifier : NSObject {
@public
    id target;
    SEL getter;
    SEL setter;
    SEL action;
    PSCellType cellType;
@protected
    NSString* _name;
    NSString* _identifier;
    NSMutableDictionary* _properties;
}
// "label" of the plist entry.
@property(nonatomic, retain) NSString* name;
// "id" of the plist entry, else its label.
@property(nonatomic, retain) NSString* identifier;
// Every key of the plist entry ("key", "default", "footerText", ...).
@property(nonatomic, retain) NSMutableDictionary* properties;
@property(nonatomic) PSCellType cellType;

- (id)propertyForKey:(NSString*)key;
- (void)setProperty:(id)value forKey:(NSString*)key;
// What a cell does: asks its target's getter for the value it shows, and
// hands a value the user chose to the setter.
- (id)performGetter;
- (void)performSetterWithValue:(id)value;
@end
