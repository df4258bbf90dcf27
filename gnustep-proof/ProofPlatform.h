// The stand-in for what GNUstep lacks, so that the device backend can run on
// Linux against a real Objective-C runtime: the Darwin notification center,
// the main queue on a virtual clock, AudioToolbox (recorded), Substrate's
// MSHookMessageEx (on the runtime's own method replacement), the runtime's
// autorelease scope and the CoreFoundation version. The platform functions
// themselves carry their iOS names and signatures (see include/); this header
// is what a test uses to drive and inspect them.
//
// Single-threaded, like the main thread it stands for. Objective-C++ only.
#pragma once

#import <Foundation/Foundation.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace thrumline::proof {

// Forgets every record, registration and pending step and sets the clock to
// zero. A test calls it first in a fresh process.
void reset();

// --- OS version (kCFCoreFoundationVersionNumber) ---
void setCoreFoundationVersion(double version);

// --- Files: the folder that stands for the device's "/" ---
void setFileRoot(const std::string& folder);
const std::string& fileRoot();

// --- Main queue on a virtual clock ---
// Time moves only through advanceBy. Steps never run inside the call that
// schedules them; due steps run in time order, first scheduled first among
// equals, each inside its own autorelease pool (as on the main run loop).
std::uint64_t now();
std::size_t pendingSteps();
// Runs everything due now, including what becomes due now while running.
void runUntilIdle();
// Moves time forward, running each step at its own due time.
void advanceBy(std::uint64_t nanos);

// --- Darwin notification center ---
struct Registration {
    std::string name;
    const void* observer;
    const void* object;
    int suspensionBehavior;
};
const std::vector<Registration>& registrations();

struct Post {
    std::string name;
    std::uint64_t atNanos;
    bool deliverImmediately;
    bool withObject;    // a non-null object was passed
    bool withUserInfo;  // a non-null user-info dictionary was passed
};
const std::vector<Post>& posts();
// Called inside every post, before the post returns: lets a test see what
// the poster had done by the moment it posted. Cleared by reset().
void setPostWitness(std::function<void(const std::string& name)> witness);
// How many callbacks have run for posts of `name`.
int deliveries(const std::string& name);

// --- AudioToolbox ---
struct SoundRequest {
    std::uint32_t soundID;
    std::uint64_t atNanos;
    bool withPattern;       // AudioServicesPlaySystemSoundWithVibration
    bool unusedWasNil;      // its second argument
    NSDictionary* pattern;  // retained until reset(); nil for a plain sound
};
const std::vector<SoundRequest>& sounds();
// The vibration dictionary as AudioToolbox reads it: "on 120, off 80, on
// 120"; anything but exactly the two keys, an integer Intensity of 1 and
// pairs of a boolean and an integer is malformed.
std::string describePattern(NSDictionary* pattern);

// --- MSHookMessageEx ---
struct HookRequest {
    std::string className;  // "" for a nil class
    std::string selector;
    bool replaced;  // a method was found and replaced
};
const std::vector<HookRequest>& hookRequests();

}  // namespace thrumline::proof
