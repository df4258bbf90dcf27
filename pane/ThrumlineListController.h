// Settings → Thrumline: the cells of Root.plist, read from and written to the
// settings file itself, and the buttons that preview each vibration.
#pragma once

#import <Preferences/PSListController.h>

@interface ThrumlineListController : PSListController
// The file the tweak reads; the pane reads and writes it directly, never
// through the preferences daemon, whose cached copy could reach the file
// after the tweak has reloaded, or overwrite the respring guard's key.
+ (NSString*)settingsPath;
@end
