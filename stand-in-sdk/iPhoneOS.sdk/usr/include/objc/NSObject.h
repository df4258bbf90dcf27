// The root class (libobjc), with the messages the device backend and the
// settings pane send to any object.
#pragma once

#include <objc/objc.h>

typedef unsigned long NSUInteger;
typedef long NSInteger;

@protocol NSObject
- (Class)class;
- (BOOL)isKindOfClass:(Class)aClass;
- (BOOL)respondsToSelector:(SEL)aSelector;
- (instancetype)retain;
- (oneway void)release;
- (instancetype)autorelease;
@end

__attribute__((objc_root_class))
@interface NSObject<NSObject> {
    Class isa;
}
+ (instancetype)alloc;
+ (instancetype)new;
+ (Class)class;
- (instancetype)init;
- (id)copy;
- (id)mutableCopy;
@end
