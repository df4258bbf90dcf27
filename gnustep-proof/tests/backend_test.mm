// The device backend on its own, on a real Objective-C runtime and real
// Foundation objects (GNUstep): the guards that keep a message to an
// unexpected object from raising inside SpringBoard, and the references it
// hands out.
#include "ProofPlatform.h"
#include "tweak/device/IosHost.h"

#include <gtest/gtest.h>

using thrumline::StrongRef;

namespace {

thrumline::Object handle(id object) { return (thrumline::Object)object; }
id objectOf(thrumline::Object object) { return (id)object; }

class BackendTest : public ::testing::Test {
protected:
    ~BackendTest() override { [pool_ drain]; }
    thrumline::HostServices& h() { return host_; }

    NSAutoreleasePool* const pool_ = [[NSAutoreleasePool alloc] init];
    thrumline::HostServices& host_ = *thrumline::ios::deviceHost("");
};

TEST_F(BackendTest, OnlyObjectsThatAnswerAMessageAreSentIt) {
    const struct {
        const char* what;
        id value;
        bool boolean;
        int integer;
    } cases[] = {
        {"bool YES", [NSNumber numberWithBool:YES], true, 1},
        {"real 250.9", [NSNumber numberWithDouble:250.9], true, 250},
        {"string YES", @"YES", true, 0},
        {"string 150ms", @"150ms", true, 150},
        {"string 0", @"0", false, 0},
        {"data", [NSData dataWithBytes:"12" length:2], false, 0},
        {"date", (id)[NSDate dateWithTimeIntervalSince1970:0], false, 0},
        {"dictionary", [NSDictionary dictionaryWithObject:@"1" forKey:@"k"], false, 0},
        {"nil", nil, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Never raises, whatever the value's type; none of them is a call.
        EXPECT_EQ(h().boolValue(handle(c.value)), c.boolean);
        EXPECT_EQ(h().intValue(handle(c.value)), c.integer);
        EXPECT_FALSE(h().isConnected(handle(c.value)));
        EXPECT_FALSE(h().isOutgoing(handle(c.value)));
        EXPECT_EQ(h().status(handle(c.value)), 0);
    }

    // Nil values: what would raise is not sent.
    const StrongRef dictionary = h().newMutableDictionary(), array = h().newMutableArray();
    h().setObject_forKey(dictionary.get(), nullptr, "k");
    h().addObject(array.get(), nullptr);
    EXPECT_EQ([objectOf(dictionary.get()) count] + [objectOf(array.get()) count], 0u);
}

// The convenience constructors autorelease; the caller owns the reference
// it is handed, past the autorelease scope it was made in.
TEST_F(BackendTest, NumbersAreOwnedReferences) {
    // GNUstep shares one instance per boolean: an owned one adds a reference.
    const id shared = [NSNumber numberWithBool:YES];
    const NSUInteger sharedReferences = [shared retainCount];
    void* token = h().objc_autoreleasePoolPush();
    const StrongRef flag = h().numberWithBool(true), number = h().numberWithInt(-7);
    h().objc_autoreleasePoolPop(token);
    const id owned = objectOf(flag.get());
    EXPECT_EQ([owned retainCount], owned == shared ? sharedReferences + 1 : 1u);
    EXPECT_TRUE([owned boolValue]);
    EXPECT_EQ([objectOf(number.get()) retainCount], 1u);
    EXPECT_EQ([objectOf(number.get()) intValue], -7);
}

}  // namespace
