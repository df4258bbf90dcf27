// The Foundation classes the backend uses, and only their messages it sends.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>
#include <objc/runtime.h>

@class NSError;

@interface NSString : NSObject
- (instancetype)initWithUTF8String:(const char*)nullTerminatedCString;
- (BOOL)boolValue;
- (int)intValue;
@end

@interface NSMutableString : NSString
- (void)appendString:(NSString*)aString;
@end

@interface NSNumber : NSObject
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithInt:(int)value;
- (BOOL)boolValue;
- (int)intValue;
@end

@interface NSData : NSObject
- (BOOL)writeToFile:(NSString*)path atomically:(BOOL)useAuxiliaryFile;
@end

@interface NSDictionary : NSObject
- (id)objectForKeyedSubscript:(id)key;
@end

@interface NSMutableDictionary : NSDictionary
- (instancetype)initWithContentsOfFile:(NSString*)path;
- (void)setObject:(id)anObject forKey:(id)aKey;
@end

@interface NSArray : NSObject
@end

@interface NSMutableArray : NSArray
- (void)addObject:(id)anObject;
@end

typedef NSUInteger NSPropertyListFormat;
enum {
    NSPropertyListOpenStepFormat = 1,
    NSPropertyListXMLFormat_v1_0 = 100,
    NSPropertyListBinaryFormat_v1_0 = 200
};
typedef NSUInteger NSPropertyListWriteOptions;

@interface NSPropertyListSerialization : NSObject
+ (NSData*)dataWithPropertyList:(id)plist
                         format:(NSPropertyListFormat)format
                        options:(NSPropertyListWriteOptions)opt
                          error:(NSError**)error;
@end
