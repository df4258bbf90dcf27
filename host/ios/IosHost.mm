// The device backend. Every HostServices operation is one platform call of
// the same name, plus the guards that keep a message to an absent or
// unexpected object from raising inside SpringBoard.
//
// References are counted by hand: HostServices hands out owned references
// (StrongRef) and borrowed ones exactly as Foundation's naming rules say, so
// this file must not be compiled with ARC.
#ifdef __has_feature
#if __has_feature(objc_arc)
#error "IosHost.mm counts references by hand: build it with -fno-objc-arc"
#endif
#endif

#include "host/ios/IosHost.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreFoundation/CoreFoundation.h>
#import <Foundation/Foundation.h>
#include <dispatch/dispatch.h>
#include <mach/mach_time.h>
#include <objc/runtime.h>

// Platform calls that no SDK header declares, by their public signatures.
extern "C" {
// Cydia Substrate: puts `replacement` in place of the method and stores the
// implementation it had in `*original`.
void MSHookMessageEx(Class cls, SEL selector, IMP replacement, IMP* original);
// AudioToolbox: plays the "VibePattern"/"Intensity" dictionary; the second
// argument is unused and passed as nil.
void AudioServicesPlaySystemSoundWithVibration(SystemSoundID soundID, id unused,
                                               NSDictionary* pattern);
// libobjc's autorelease scope (what @autoreleasepool compiles to).
void* objc_autoreleasePoolPush(void);
void objc_autoreleasePoolPop(void* token);
}

// TelephonyUtilities' TUCall, as far as the library reads it.
@protocol ThrumlineCall
- (BOOL)isConnected;
- (BOOL)isOutgoing;
- (int)status;
- (double)callDuration;
@end

namespace {

using thrumline::DispatchStep;
using thrumline::HostServices;
using thrumline::StrongRef;

id objectOf(thrumline::Object object) { return (id)object; }
thrumline::Object handleOf(id object) { return (thrumline::Object)object; }
SEL selectorOf(thrumline::Selector selector) { return (SEL)selector; }

// Function pointers of the same shape but different pointer parameter types
// (our handles, the platform's id/SEL/CF types). The detour through
// void (*)() is the conversion compilers accept without a cast warning.
template <typename To, typename From>
To functionCast(From function) {
    return reinterpret_cast<To>(reinterpret_cast<void (*)()>(function));
}

// The main queue, fetched outside any class: dispatch_get_main_queue is a
// function-like macro in some SDKs and an inline function in others, and
// inside IosHost the name would find the member instead.
dispatch_queue_t mainQueue() { return dispatch_get_main_queue(); }

// dispatch_after_f's work function: the context is the step itself.
void runStep(void* context) { static_cast<DispatchStep>(context)->run(); }

// An NSString made from a C string, owned for one call; with a prefix, the
// prefix followed by the string.
class OwnedString {
public:
    explicit OwnedString(const char* text, NSString* prefix = nil)
        : string_(joined(prefix, text)) {}
    ~OwnedString() { [string_ release]; }
    OwnedString(const OwnedString&) = delete;
    OwnedString& operator=(const OwnedString&) = delete;
    NSString* get() const { return string_; }

private:
    static NSString* joined(NSString* prefix, const char* text) {
        if (text == nullptr) return nil;
        NSString* tail = [[NSString alloc] initWithUTF8String:text];
        if (prefix == nil || tail == nil) return tail;
        NSMutableString* whole = [prefix mutableCopy];
        [whole appendString:tail];
        [tail release];
        return whole;
    }

    NSString* string_;
};

class IosHost final : public HostServices {
public:
    // An NSString, not a std::string: the phone build has the C++ library's
    // headers but not the C library's, which <string> needs.
    explicit IosHost(const char* fileRoot)
        : fileRoot_([[NSString alloc] initWithUTF8String:fileRoot == nullptr ? "" : fileRoot]) {}
    ~IosHost() override { [fileRoot_ release]; }
    IosHost(const IosHost&) = delete;
    IosHost& operator=(const IosHost&) = delete;

    void retain(thrumline::Object object) override { [objectOf(object) retain]; }
    void release(thrumline::Object object) override { [objectOf(object) release]; }

    double kCFCoreFoundationVersionNumber() override { return ::kCFCoreFoundationVersionNumber; }

    thrumline::Class objc_getClass(const char* name) override {
        return (thrumline::Class)::objc_getClass(name);
    }

    thrumline::Selector sel_registerName(const char* name) override {
        return reinterpret_cast<thrumline::Selector>(::sel_registerName(name));
    }

    void MSHookMessageEx(thrumline::Class cls, thrumline::Selector selector,
                         thrumline::MethodImp replacement, thrumline::MethodImp* slot) override {
        // Substrate would only log an absent class; the slot stays as it is.
        if (cls == nullptr || selector == nullptr || replacement == nullptr || slot == nullptr) {
            return;
        }
        // The slot is written by Substrate itself, before the replacement
        // can be reached, as every Substrate client passes it.
        ::MSHookMessageEx((::Class)cls, selectorOf(selector), functionCast<IMP>(replacement),
                          reinterpret_cast<IMP*>(slot));
    }

    void* objc_autoreleasePoolPush() override { return ::objc_autoreleasePoolPush(); }
    void objc_autoreleasePoolPop(void* token) override { ::objc_autoreleasePoolPop(token); }

    bool respondsToSelector(thrumline::Object object, thrumline::Selector selector) override {
        if (object == nullptr || selector == nullptr) return false;
        return [objectOf(object) respondsToSelector:selectorOf(selector)] != NO;
    }

    thrumline::NotificationCenter CFNotificationCenterGetDarwinNotifyCenter() override {
        return (thrumline::NotificationCenter)::CFNotificationCenterGetDarwinNotifyCenter();
    }

    void CFNotificationCenterAddObserver(thrumline::NotificationCenter center, const void* observer,
                                         thrumline::NotificationCallback callback, const char* name,
                                         const void* object, int suspensionBehavior) override {
        if (center == nullptr || callback == nullptr || name == nullptr) return;
        // The center keeps its own copy of the name.
        const OwnedString notificationName(name);
        ::CFNotificationCenterAddObserver((CFNotificationCenterRef)center, observer,
                                          functionCast<CFNotificationCallback>(callback),
                                          (CFStringRef)notificationName.get(), object,
                                          (CFNotificationSuspensionBehavior)suspensionBehavior);
    }

    void CFNotificationCenterPostNotification(thrumline::NotificationCenter center,
                                              const char* name, const void* object,
                                              thrumline::Object userInfo,
                                              bool deliverImmediately) override {
        if (center == nullptr || name == nullptr) return;
        const OwnedString notificationName(name);
        ::CFNotificationCenterPostNotification(
            (CFNotificationCenterRef)center, (CFStringRef)notificationName.get(), object,
            (CFDictionaryRef)objectOf(userInfo), deliverImmediately ? 1 : 0);
    }

    std::uint64_t mach_absolute_time() override { return ::mach_absolute_time(); }

    void mach_timebase_info(std::uint32_t& numer, std::uint32_t& denom) override {
        mach_timebase_info_data_t info = {0, 0};
        ::mach_timebase_info(&info);
        numer = info.numer;
        denom = info.denom;
    }

    std::uint64_t dispatch_time(std::uint64_t when, std::int64_t delta) override {
        return ::dispatch_time(static_cast<dispatch_time_t>(when), delta);
    }

    // Parenthesised: the platform's dispatch_get_main_queue() may be a macro.
    thrumline::DispatchQueue(dispatch_get_main_queue)() override {
        return (thrumline::DispatchQueue)mainQueue();
    }

    void dispatch_after(std::uint64_t when, thrumline::DispatchQueue queue,
                        DispatchStep step) override {
        if (queue == nullptr || step == nullptr || step->run == nullptr) return;
        // The block-free form: a step captures nothing, so it travels as the
        // context of a plain work function.
        ::dispatch_after_f(static_cast<dispatch_time_t>(when), (dispatch_queue_t)queue,
                           const_cast<thrumline::MainQueueStep*>(step), &runStep);
    }

    void AudioServicesPlaySystemSound(std::uint32_t soundID) override {
        ::AudioServicesPlaySystemSound(static_cast<SystemSoundID>(soundID));
    }

    void AudioServicesPlaySystemSoundWithVibration(std::uint32_t soundID, thrumline::Object unused,
                                                   thrumline::Object vibrationPattern) override {
        ::AudioServicesPlaySystemSoundWithVibration(static_cast<SystemSoundID>(soundID),
                                                    objectOf(unused), objectOf(vibrationPattern));
    }

    StrongRef initWithContentsOfFile(const char* path) override {
        if (path == nullptr) return StrongRef();
        const OwnedString file(path, fileRoot_);
        // nil for a missing or unreadable file, a file that is not a
        // property list, and one whose root is not a dictionary.
        NSMutableDictionary* dictionary =
            [[NSMutableDictionary alloc] initWithContentsOfFile:file.get()];
        return StrongRef::adopt(*this, handleOf(dictionary));
    }

    StrongRef newMutableDictionary() override {
        return StrongRef::adopt(*this, handleOf([[NSMutableDictionary alloc] init]));
    }

    StrongRef newMutableArray() override {
        return StrongRef::adopt(*this, handleOf([[NSMutableArray alloc] init]));
    }

    // The convenience constructors autorelease into the caller's pool; the
    // extra retain is the reference the caller owns.
    StrongRef numberWithBool(bool value) override {
        return StrongRef::adopt(*this,
                                handleOf([[NSNumber numberWithBool:value ? YES : NO] retain]));
    }

    StrongRef numberWithInt(std::int32_t value) override {
        return StrongRef::adopt(*this, handleOf([[NSNumber numberWithInt:value] retain]));
    }

    thrumline::Object objectForKeyedSubscript(thrumline::Object dictionary,
                                              const char* key) override {
        if (dictionary == nullptr || key == nullptr) return nullptr;
        NSDictionary* const table = objectOf(dictionary);
        const OwnedString name(key);
        return handleOf([table objectForKeyedSubscript:name.get()]);
    }

    void setObject_forKey(thrumline::Object dictionary, thrumline::Object value,
                          const char* key) override {
        // A nil value or key would raise; the platform's message to a nil
        // dictionary does nothing.
        if (dictionary == nullptr || value == nullptr || key == nullptr) return;
        NSMutableDictionary* const table = objectOf(dictionary);
        const OwnedString name(key);
        if (name.get() == nil) return;
        [table setObject:objectOf(value) forKey:name.get()];
    }

    void addObject(thrumline::Object array, thrumline::Object value) override {
        if (array == nullptr || value == nullptr) return;
        NSMutableArray* const list = objectOf(array);
        [list addObject:objectOf(value)];
    }

    // Only numbers and strings answer boolValue and intValue; a settings file
    // can hold data, dates, arrays and dictionaries too, and sending them the
    // conversion would raise an unrecognized selector inside SpringBoard.
    bool boolValue(thrumline::Object value) override {
        id object = objectOf(value);
        return isNumberOrString(object) && [object boolValue] != NO;
    }

    std::int32_t intValue(thrumline::Object value) override {
        id object = objectOf(value);
        return isNumberOrString(object) ? [object intValue] : 0;
    }

    bool writeToFile_atomically(thrumline::Object dictionary, const char* path,
                                bool atomically) override {
        if (dictionary == nullptr || path == nullptr) return false;
        // NSDictionary's writeToFile:atomically: writes XML on the device but
        // GNUstep's own text form elsewhere; serialising first gives the XML
        // property list on both, and NSData's writeToFile:atomically: keeps
        // the write atomic (an auxiliary file renamed into place).
        NSData* xml = [NSPropertyListSerialization dataWithPropertyList:objectOf(dictionary)
                                                                 format:NSPropertyListXMLFormat_v1_0
                                                                options:0
                                                                  error:nullptr];
        if (xml == nil) return false;
        const OwnedString file(path, fileRoot_);
        return [xml writeToFile:file.get() atomically:atomically ? YES : NO] != NO;
    }

    // A call is sent only what it answers: another object in its place
    // must not raise inside SpringBoard. Nil answers NO.
    bool isConnected(thrumline::Object call) override {
        id object = objectOf(call);
        return answers(object, @selector(isConnected)) &&
               [(id<ThrumlineCall>)object isConnected] != NO;
    }

    bool isOutgoing(thrumline::Object call) override {
        id object = objectOf(call);
        return answers(object, @selector(isOutgoing)) &&
               [(id<ThrumlineCall>)object isOutgoing] != NO;
    }

    std::int32_t status(thrumline::Object call) override {
        id object = objectOf(call);
        return answers(object, @selector(status)) ? [(id<ThrumlineCall>)object status] : 0;
    }

    double callDuration(thrumline::Object call) override {
        id object = objectOf(call);
        return answers(object, @selector(callDuration)) ? [(id<ThrumlineCall>)object callDuration]
                                                        : 0;
    }

private:
    static bool answers(id object, SEL selector) {
        return object != nil && [object respondsToSelector:selector] != NO;
    }

    static bool isNumberOrString(id object) {
        return object != nil &&
               ([object isKindOfClass:[NSNumber class]] || [object isKindOfClass:[NSString class]]);
    }

    NSString* const fileRoot_;
};

}  // namespace

namespace thrumline::ios {

HostServices* newDeviceHost(const char* fileRoot) { return new IosHost(fileRoot); }

}  // namespace thrumline::ios
