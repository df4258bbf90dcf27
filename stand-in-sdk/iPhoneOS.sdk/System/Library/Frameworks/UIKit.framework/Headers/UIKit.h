// UIKit's view controller, which Preferences' controllers descend from; the
// settings pane sends it no message of its own.
#pragma once

#import <Foundation/Foundation.h>

@interface UIResponder : NSObject
@end

@interface UIViewController : UIResponder
@end
