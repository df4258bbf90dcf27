// The device backend. Every HostServices operation is one platform call of
// the same name, plus the guards that keep a message to an absent or
// unexpected object from raising inside SpringBoard. Built with
// THRUMLINE_HOST_LINKED: this file defines HostServices' operations itself.
//
// References are counted by hand: HostServices hands out owned references
// (StrongRef) and borrowed ones exactly as Foundation's naming rules say, so
// this file must not be compiled with ARC.
#ifdef __has_feature
#if __has_feature(objc_arc)
#error "IosHost.mm counts references by hand: build it with -fno-objc-arc"
#endif
#endif

#include "tweak/device/IosHost.h"

#ifndef THRUMLINE_HOST_LINKED
#error "IosHost.mm defines HostServices' operations: build it with THRUMLINE_HOST_LINKED"
#endif

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

using thrumline::HostServices;
using thrumline::StepFunction;
using thrumline::StepPurpose;
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
// inside HostServices the name would find the member instead.
dispatch_queue_t mainQueue() { return dispatch_get_main_queue(); }

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

// A call is sent only what it answers: another object in its place must
// not raise inside SpringBoard. Nil answers NO.
bool answers(id object, SEL selector) {
    return object != nil && [object respondsToSelector:selector] != NO;
}

// Only numbers and strings answer boolValue and intValue; a settings file
// can hold data, dates, arrays and dictionaries too, and sending them the
// conversion would raise an unrecognized selector inside SpringBoard.
bool isNumberOrString(id object) {
    return object != nil &&
           ([object isKindOfClass:[NSNumber class]] || [object isKindOfClass:[NSString class]]);
}

// Put in front of every file path the library names: "" on the device, a
// scratch folder that stands for "/" in the Linux proof build. An NSString,
// not a std::string: the phone build has the C++ library's headers but not
// the C library's, which <string> needs.
NSString* fileRoot = nil;

// A step and its purpose, made when the step is queued: the context
// dispatch_after_f hands the work function. The purpose is of no use here;
// it travels along so that whoever runs the queue can tell what a step is for.
struct QueuedStep {
    thrumline::StepFunction run;
    thrumline::StepPurpose purpose;
};

// dispatch_after_f's work function. Operator delete by name: a delete
// expression would ask for the sized delete, which iOS 7's libc++ lacks.
void runStep(void* context) {
    auto* const step = static_cast<QueuedStep*>(context);
    const thrumline::StepFunction run = step->run;
    ::operator delete(step);
    run();
}

}  // namespace

namespace thrumline {

void HostServices::retain(thrumline::Object object) { [objectOf(object) retain]; }
void HostServices::release(thrumline::Object object) { [objectOf(object) release]; }

double HostServices::kCFCoreFoundationVersionNumber() { return ::kCFCoreFoundationVersionNumber; }

thrumline::Class HostServices::objc_getClass(const char* name) {
    return (thrumline::Class)::objc_getClass(name);
}

thrumline::Selector HostServices::sel_registerName(const char* name) {
    return reinterpret_cast<thrumline::Selector>(::sel_registerName(name));
}

void HostServices::MSHookMessageEx(thrumline::Class cls, thrumline::Selector selector,
                                   thrumline::MethodImp replacement, thrumline::MethodImp* slot) {
    // Substrate would only log an absent class; the slot stays as it is.
    if (cls == nullptr || selector == nullptr || replacement == nullptr || slot == nullptr) {
        return;
    }
    // The slot is written by Substrate itself, before the replacement
    // can be reached, as every Substrate client passes it.
    ::MSHookMessageEx((::Class)cls, selectorOf(selector), functionCast<IMP>(replacement),
                      reinterpret_cast<IMP*>(slot));
}

void* HostServices::objc_autoreleasePoolPush() { return ::objc_autoreleasePoolPush(); }
void HostServices::objc_autoreleasePoolPop(void* token) { ::objc_autoreleasePoolPop(token); }

bool HostServices::respondsToSelector(thrumline::Object object, thrumline::Selector selector) {
    if (object == nullptr || selector == nullptr) return false;
    return [objectOf(object) respondsToSelector:selectorOf(selector)] != NO;
}

thrumline::NotificationCenter HostServices::CFNotificationCenterGetDarwinNotifyCenter() {
    return (thrumline::NotificationCenter)::CFNotificationCenterGetDarwinNotifyCenter();
}

void HostServices::CFNotificationCenterAddObserver(thrumline::NotificationCenter center,
                                                   const void* observer,
                                                   thrumline::NotificationCallback callback,
                                                   const char* name, const void* object,
                                                   int suspensionBehavior) {
    if (center == nullptr || callback == nullptr || name == nullptr) return;
    // The center keeps its own copy of the name.
    const OwnedString notificationName(name);
    ::CFNotificationCenterAddObserver((CFNotificationCenterRef)center, observer,
                                      functionCast<CFNotificationCallback>(callback),
                                      (CFStringRef)notificationName.get(), object,
                                      (CFNotificationSuspensionBehavior)suspensionBehavior);
}

void HostServices::CFNotificationCenterPostNotification(thrumline::NotificationCenter center,
                                                        const char* name, const void* object,
                                                        thrumline::Object userInfo,
                                                        bool deliverImmediately) {
    if (center == nullptr || name == nullptr) return;
    const OwnedString notificationName(name);
    ::CFNotificationCenterPostNotification(
        (CFNotificationCenterRef)center, (CFStringRef)notificationName.get(), object,
        (CFDictionaryRef)objectOf(userInfo), deliverImmediately ? 1 : 0);
}

std::uint64_t HostServices::mach_absolute_time() { return ::mach_absolute_time(); }

void HostServices::mach_timebase_info(std::uint32_t& numer, std::uint32_t& denom) {
    mach_timebase_info_data_t info = {0, 0};
    ::mach_timebase_info(&info);
    numer = info.numer;
    denom = info.denom;
}

std::uint64_t HostServices::dispatch_time(std::uint64_t when, std::int64_t delta) {
    return ::dispatch_time(static_cast<dispatch_time_t>(when), delta);
}

// Parenthesised: the platform's dispatch_get_main_queue() may be a macro.
thrumline::DispatchQueue(HostServices::dispatch_get_main_queue)() {
    return (thrumline::DispatchQueue)mainQueue();
}

void HostServices::dispatch_after(std::uint64_t when, thrumline::DispatchQueue queue,
                                  StepFunction step, StepPurpose purpose) {
    if (queue == nullptr || step == nullptr) return;
    // The block-free form: a step captures nothing, so it travels in the
    // context of a plain work function. This may run off the main thread;
    // operator new is safe there.
    ::dispatch_after_f(static_cast<dispatch_time_t>(when), (dispatch_queue_t)queue,
                       new QueuedStep{step, purpose}, &runStep);
}

void HostServices::AudioServicesPlaySystemSound(std::uint32_t soundID) {
    ::AudioServicesPlaySystemSound(static_cast<SystemSoundID>(soundID));
}

void HostServices::AudioServicesPlaySystemSoundWithVibration(std::uint32_t soundID,
                                                             thrumline::Object unused,
                                                             thrumline::Object vibrationPattern) {
    ::AudioServicesPlaySystemSoundWithVibration(static_cast<SystemSoundID>(soundID),
                                                objectOf(unused), objectOf(vibrationPattern));
}

StrongRef HostServices::initWithContentsOfFile(const char* path) {
    if (path == nullptr) return StrongRef();
    const OwnedString file(path, fileRoot);
    // nil for a missing or unreadable file, a file that is not a
    // property list, and one whose root is not a dictionary.
    NSMutableDictionary* dictionary =
        [[NSMutableDictionary alloc] initWithContentsOfFile:file.get()];
    return StrongRef::adopt(*this, handleOf(dictionary));
}

StrongRef HostServices::newMutableDictionary() {
    return StrongRef::adopt(*this, handleOf([[NSMutableDictionary alloc] init]));
}

StrongRef HostServices::newMutableArray() {
    return StrongRef::adopt(*this, handleOf([[NSMutableArray alloc] init]));
}

// The convenience constructors autorelease into the caller's pool; the
// extra retain is the reference the caller owns.
StrongRef HostServices::numberWithBool(bool value) {
    return StrongRef::adopt(*this, handleOf([[NSNumber numberWithBool:value ? YES : NO] retain]));
}

StrongRef HostServices::numberWithInt(std::int32_t value) {
    return StrongRef::adopt(*this, handleOf([[NSNumber numberWithInt:value] retain]));
}

thrumline::Object HostServices::objectForKeyedSubscript(thrumline::Object dictionary,
                                                        const char* key) {
    if (dictionary == nullptr || key == nullptr) return nullptr;
    NSDictionary* const table = objectOf(dictionary);
    const OwnedString name(key);
    return handleOf([table objectForKeyedSubscript:name.get()]);
}

void HostServices::setObject_forKey(thrumline::Object dictionary, thrumline::Object value,
                                    const char* key) {
    // A nil value or key would raise; the platform's message to a nil
    // dictionary does nothing.
    if (dictionary == nullptr || value == nullptr || key == nullptr) return;
    NSMutableDictionary* const table = objectOf(dictionary);
    const OwnedString name(key);
    if (name.get() == nil) return;
    [table setObject:objectOf(value) forKey:name.get()];
}

void HostServices::addObject(thrumline::Object array, thrumline::Object value) {
    if (array == nullptr || value == nullptr) return;
    NSMutableArray* const list = objectOf(array);
    [list addObject:objectOf(value)];
}

bool HostServices::boolValue(thrumline::Object value) {
    id object = objectOf(value);
    return isNumberOrString(object) && [object boolValue] != NO;
}

std::int32_t HostServices::intValue(thrumline::Object value) {
    id object = objectOf(value);
    return isNumberOrString(object) ? [object intValue] : 0;
}

bool HostServices::writeToFile_atomically(thrumline::Object dictionary, const char* path,
                                          bool atomically) {
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
    const OwnedString file(path, fileRoot);
    return [xml writeToFile:file.get() atomically:atomically ? YES : NO] != NO;
}

bool HostServices::isConnected(thrumline::Object call) {
    id object = objectOf(call);
    return answers(object, @selector(isConnected)) && [(id<ThrumlineCall>)object isConnected] != NO;
}

bool HostServices::isOutgoing(thrumline::Object call) {
    id object = objectOf(call);
    return answers(object, @selector(isOutgoing)) && [(id<ThrumlineCall>)object isOutgoing] != NO;
}

std::int32_t HostServices::status(thrumline::Object call) {
    id object = objectOf(call);
    return answers(object, @selector(status)) ? [(id<ThrumlineCall>)object status] : 0;
}

double HostServices::callDuration(thrumline::Object call) {
    id object = objectOf(call);
    return answers(object, @selector(callDuration)) ? [(id<ThrumlineCall>)object callDuration] : 0;
}

}  // namespace thrumline

namespace thrumline::ios {

HostServices* deviceHost(const char* root) {
    // The library's one instance: the operations keep no state in it.
    static HostServices services;
    NSString* const previous = fileRoot;
    fileRoot = [[NSString alloc] initWithUTF8String:root == nullptr ? "" : root];
    [previous release];
    return &services;
}

}  // namespace thrumline::ios
