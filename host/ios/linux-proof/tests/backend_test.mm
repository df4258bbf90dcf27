// The device backend on its own, on a real Objective-C runtime and real
// Foundation objects (GNUstep): its reference counts, and the guards that
// keep a message to an unexpected object from raising inside SpringBoard.
#include "ProofPlatform.h"
#include "host/ios/IosHost.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

using thrumline::Object;
using thrumline::StrongRef;

@interface BackendCall : NSObject
- (BOOL)isConnected;
@end
@implementation BackendCall
- (BOOL)isConnected {
    return YES;
}
@end

namespace {

Object handle(id object) { return (Object)object; }
id objectOf(Object object) { return (id)object; }

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        thrumline::proof::reset();
        pool_ = [[NSAutoreleasePool alloc] init];
        std::filesystem::create_directories(root_ + "/var");
        host_.reset(thrumline::ios::newDeviceHost(root_.c_str()));
    }
    void TearDown() override {
        host_.reset();
        [pool_ drain];
        std::filesystem::remove_all(root_);
    }
    thrumline::HostServices& h() { return *host_; }

    const std::string root_ = std::filesystem::temp_directory_path().string() +
                              "/thrumline-backend-" + std::to_string(::getpid());
    std::unique_ptr<thrumline::HostServices> host_;
    NSAutoreleasePool* pool_ = nil;
};

TEST_F(BackendTest, OnlyObjectsThatAnswerAMessageAreSentIt) {
    const struct {
        const char* what;
        id value;
        bool responds;  // to boolValue and intValue
        bool boolean;
        int integer;
    } cases[] = {
        {"bool YES", [NSNumber numberWithBool:YES], true, true, 1},
        {"real 250.9", [NSNumber numberWithDouble:250.9], true, true, 250},
        {"string YES", @"YES", true, true, 0},
        {"string 150ms", @"150ms", true, true, 150},
        {"data", [NSData dataWithBytes:"12" length:2], false, false, 0},
        {"date", (id)[NSDate dateWithTimeIntervalSince1970:0], false, false, 0},
        {"dictionary", [NSDictionary dictionaryWithObject:@"1" forKey:@"k"], false, false, 0},
        {"nil", nil, false, false, 0},
    };
    const thrumline::Selector boolValue = h().sel_registerName("boolValue");
    const thrumline::Selector intValue = h().sel_registerName("intValue");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(h().respondsToSelector(handle(c.value), boolValue), c.responds);
        EXPECT_EQ(h().respondsToSelector(handle(c.value), intValue), c.responds);
        // Never raises, whatever the value's type.
        EXPECT_EQ(h().boolValue(handle(c.value)), c.boolean);
        EXPECT_EQ(h().intValue(handle(c.value)), c.integer);
    }

    EXPECT_TRUE(h().isConnected(handle([[[BackendCall alloc] init] autorelease])));
    EXPECT_FALSE(h().isConnected(handle(@"not a call")));
    EXPECT_FALSE(h().isConnected(nullptr));

    // Nil values, keys and receivers: what would raise is not sent.
    StrongRef dictionary = h().newMutableDictionary();
    StrongRef one = h().numberWithInt(1);
    h().setObject_forKey(dictionary.get(), nullptr, "k");
    h().setObject_forKey(nullptr, one.get(), "k");
    EXPECT_EQ(h().objectForKeyedSubscript(nullptr, "k"), nullptr);
    EXPECT_EQ(h().objectForKeyedSubscript(dictionary.get(), "k"), nullptr);
    StrongRef array = h().newMutableArray();
    h().addObject(array.get(), nullptr);
    h().addObject(array.get(), one.get());
    EXPECT_EQ([objectOf(array.get()) count], 1u);
}

TEST_F(BackendTest, OwnedReferencesAreRealAndOutliveTheAutoreleasePool) {
    // GNUstep shares one instance per boolean: an owned one adds a reference.
    const id shared = [NSNumber numberWithBool:YES];
    const NSUInteger sharedReferences = [shared retainCount];
    void* token = h().objc_autoreleasePoolPush();
    const StrongRef flag = h().numberWithBool(true);
    const StrongRef number = h().numberWithInt(-7);
    h().objc_autoreleasePoolPop(token);
    const id owned = objectOf(flag.get());
    EXPECT_EQ([owned retainCount], owned == shared ? sharedReferences + 1 : 1u);
    EXPECT_TRUE([owned boolValue]);
    EXPECT_EQ([objectOf(number.get()) retainCount], 1u);
    EXPECT_EQ([objectOf(number.get()) intValue], -7);

    StrongRef dictionary = h().newMutableDictionary();
    EXPECT_EQ([objectOf(dictionary.get()) retainCount], 1u);
    {
        const StrongRef second = StrongRef::retain(h(), dictionary.get());
        EXPECT_EQ([objectOf(dictionary.get()) retainCount], 2u);
    }
    EXPECT_EQ([objectOf(dictionary.get()) retainCount], 1u);
}

TEST_F(BackendTest, ReadsOnlyADictionaryAndWritesNothingForNothing) {
    const std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (const std::string& bytes :
         {std::string("isEnabled = maybe {{{"), xml + "<array><true/></array></plist>",
          xml + "<dict><key>isEnabled</key><true/></dict></plist>"}) {
        SCOPED_TRACE(bytes);
        std::ofstream(root_ + "/var/b.plist") << bytes;
        const bool dictionary = bytes.find("<dict>") != std::string::npos;
        StrongRef read = h().initWithContentsOfFile("/var/b.plist");
        ASSERT_EQ(static_cast<bool>(read), dictionary);
        EXPECT_EQ(h().boolValue(h().objectForKeyedSubscript(read.get(), "isEnabled")), dictionary);
    }
    EXPECT_FALSE(h().initWithContentsOfFile("/var/none.plist"));
    EXPECT_FALSE(h().writeToFile_atomically(nullptr, "/var/none.plist", true));
    EXPECT_FALSE(std::filesystem::exists(root_ + "/var/none.plist"));
}

}  // namespace
