// The Foundation classes the device backend and the settings pane use, and
// only the messages they send.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>
#include <objc/runtime.h>

#define NS_ENUM(type, name)        \
    typedef enum name : type name; \
    enum name : type

@class NSArray, NSDictionary, NSError;

typedef struct {
    unsigned long state;
    id __unsafe_unretained* itemsPtr;
    unsigned long* mutationsPtr;
    unsigned long extra[5];
} NSFastEnumerationState;

@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState*)state
                                  objects:(id __unsafe_unretained[])buffer
                                    count:(NSUInteger)len;
@end

@interface NSString : NSObject
+ (instancetype)stringWithFormat:(NSString*)format, ...;
+ (instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
- (instancetype)initWithUTF8String:(const char*)nullTerminatedCString;
- (NSString*)stringByAppendingString:(NSString*)aString;
- (NSString*)stringByAppendingFormat:(NSString*)format, ...;
- (NSString*)stringByDeletingPathExtension;
- (NSString*)stringByDeletingLastPathComponent;
- (BOOL)boolValue;
- (int)intValue;
- (double)doubleValue;
@end

@interface NSBundle : NSObject
+ (instancetype)bundleWithPath:(NSString*)path;
@end

@interface NSMutableString : NSString
- (void)appendString:(NSString*)aString;
@end

@interface NSNumber : NSObject
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithInt:(int)value;
- (BOOL)boolValue;
- (int)intValue;
- (double)doubleValue;
@end

@interface NSData : NSObject
- (BOOL)writeToFile:(NSString*)path atomically:(BOOL)useAuxiliaryFile;
@end

@interface NSDictionary : NSObject <NSFastEnumeration>
+ (instancetype)dictionary;
+ (instancetype)dictionaryWithContentsOfFile:(NSString*)path;
- (id)objectForKey:(id)aKey;
- (id)objectForKeyedSubscript:(id)key;
@end

@interface NSMutableDictionary : NSDictionary
- (instancetype)initWithContentsOfFile:(NSString*)path;
- (void)setObject:(id)anObject forKey:(id)aKey;
@end

@interface NSArray : NSObject <NSFastEnumeration>
+ (instancetype)array;
@end

@interface NSMutableArray : NSArray
- (void)addObject:(id)anObject;
- (void)removeObjectsInArray:(NSArray*)otherArray;
@end

@interface NSFileManager : NSObject
+ (NSFileManager*)defaultManager;
- (NSDictionary*)attributesOfItemAtPath:(NSString*)path error:(NSError**)error;
- (BOOL)moveItemAtPath:(NSString*)srcPath toPath:(NSString*)dstPath error:(NSError**)error;
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
