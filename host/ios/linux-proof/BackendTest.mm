// The device backend's operations on a real Objective-C runtime and real
// Foundation objects (GNUstep), one by one, without the library.
#include "PlistReader.h"
#include "ProofPlatform.h"
#include "ProofTestSupport.h"
#include "host/ios/IosHost.h"

#include <gtest/gtest.h>
#include <objc/runtime.h>

#include <memory>

using thrumline::HostServices;
using thrumline::Object;
using thrumline::StrongRef;
using thrumline::plistcheck::Kind;
namespace proof = thrumline::proof;
namespace prooftest = thrumline::prooftest;

// Classes for the hooking tests, each used by one test only: a hook stays.
@interface BackendHookBase : NSObject
- (void)ownMethod:(id)argument;
- (void)inheritedMethod:(id)argument;
@end
@interface BackendHookDerived : BackendHookBase
@end
@interface BackendCall : NSObject {
    BOOL connected_;
}
- (id)initConnected:(BOOL)connected;
- (BOOL)isConnected;
@end

namespace {

std::vector<std::string> gRuns;  // what each implementation saw, in order

void recordRun(const char* who, id receiver, SEL cmd, id argument) {
    gRuns.push_back(std::string(who) + " " + class_getName(object_getClass(receiver)) + " " +
                    sel_getName(cmd) + " " +
                    ([argument isKindOfClass:[NSString class]] ? [argument UTF8String] : "?"));
}

}  // namespace

@implementation BackendHookBase
- (void)ownMethod:(id)argument {
    recordRun("base-own", self, _cmd, argument);
}
- (void)inheritedMethod:(id)argument {
    recordRun("base-inherited", self, _cmd, argument);
}
@end
@implementation BackendHookDerived
@end
@implementation BackendCall
- (id)initConnected:(BOOL)connected {
    if ((self = [super init]) != nil) connected_ = connected;
    return self;
}
- (BOOL)isConnected {
    return connected_;
}
@end

namespace {

thrumline::MethodImp gSlot = nullptr;

void replacement(Object self, thrumline::Selector cmd, Object argument) {
    recordRun("replacement", (id)self, (SEL)cmd, (id)argument);
    if (gSlot != nullptr) gSlot(self, cmd, argument);
}

Object handle(id object) { return (Object)object; }
id objectOf(Object object) { return (id)object; }

class BackendTest : public ::testing::Test {
protected:
    void SetUp() override {
        proof::reset();
        gRuns.clear();
        gSlot = nullptr;
        pool_ = [[NSAutoreleasePool alloc] init];
        host_.reset(thrumline::ios::newDeviceHost(root_.path().c_str()));
    }
    void TearDown() override {
        host_.reset();
        [pool_ drain];
    }
    HostServices& h() { return *host_; }
    std::string settingsFile() const { return root_.hostPath(kDevicePath); }

    static constexpr const char* kDevicePath = "/var/mobile/Library/Preferences/backend.plist";
    prooftest::ScratchFolder root_;
    std::unique_ptr<HostServices> host_;
    NSAutoreleasePool* pool_ = nil;
};

TEST_F(BackendTest, ConversionsAnswerOnlyNumbersAndStrings) {
    struct Case {
        const char* what;
        id value;
        bool responds;  // to boolValue and intValue
        bool boolean;
        int integer;
    };
    const NSDate* date = [NSDate dateWithTimeIntervalSince1970:0];
    const Case cases[] = {
        {"bool YES", [NSNumber numberWithBool:YES], true, true, 1},
        {"bool NO", [NSNumber numberWithBool:NO], true, false, 0},
        {"integer 2", [NSNumber numberWithInt:2], true, true, 2},
        {"integer -50", [NSNumber numberWithInt:-50], true, true, -50},
        {"real 250.9", [NSNumber numberWithDouble:250.9], true, true, 250},
        {"string YES", @"YES", true, true, 0},
        {"string 1", @"1", true, true, 1},
        {"string no", @"no", true, false, 0},
        {"string empty", @"", true, false, 0},
        {"string 150ms", @"150ms", true, true, 150},
        {"data", [NSData dataWithBytes:"12" length:2], false, false, 0},
        {"date", (id)date, false, false, 0},
        {"array", [NSArray arrayWithObject:@"1"], false, false, 0},
        {"dictionary", [NSDictionary dictionaryWithObject:@"1" forKey:@"k"], false, false, 0},
        {"nil", nil, false, false, 0},
    };
    const thrumline::Selector boolValue = h().sel_registerName("boolValue");
    const thrumline::Selector intValue = h().sel_registerName("intValue");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(h().respondsToSelector(handle(c.value), boolValue), c.responds);
        EXPECT_EQ(h().respondsToSelector(handle(c.value), intValue), c.responds);
        // Never raises, whatever the value's type.
        EXPECT_EQ(h().boolValue(handle(c.value)), c.boolean);
        EXPECT_EQ(h().intValue(handle(c.value)), c.integer);
    }
}

TEST_F(BackendTest, DictionaryMessagesToNothingDoNothing) {
    StrongRef dictionary = h().newMutableDictionary();
    StrongRef one = h().numberWithInt(1);
    EXPECT_EQ(h().objectForKeyedSubscript(nullptr, "isEnabled"), nullptr);
    EXPECT_EQ(h().objectForKeyedSubscript(dictionary.get(), "isEnabled"), nullptr);
    h().setObject_forKey(nullptr, one.get(), "isEnabled");
    h().setObject_forKey(dictionary.get(), nullptr, "isEnabled");  // would raise if sent
    EXPECT_EQ([objectOf(dictionary.get()) count], 0u);

    h().setObject_forKey(dictionary.get(), one.get(), "isEnabled");
    EXPECT_EQ(h().objectForKeyedSubscript(dictionary.get(), "isEnabled"), one.get());
    StrongRef array = h().newMutableArray();
    h().addObject(array.get(), one.get());
    h().addObject(array.get(), nullptr);
    h().addObject(nullptr, one.get());
    EXPECT_EQ([objectOf(array.get()) count], 1u);
}

TEST_F(BackendTest, OwnedReferencesOutliveTheAutoreleasePool) {
    StrongRef flag;
    StrongRef number;
    {
        void* token = h().objc_autoreleasePoolPush();
        flag = h().numberWithBool(true);
        number = h().numberWithInt(-7);
        h().objc_autoreleasePoolPop(token);
    }
    // Still ours after the pool drained: the owned reference is real.
    EXPECT_TRUE(prooftest::isBooleanNumber(objectOf(flag.get())));
    EXPECT_TRUE([objectOf(flag.get()) boolValue]);
    EXPECT_EQ([objectOf(number.get()) intValue], -7);

    StrongRef dictionary = h().newMutableDictionary();
    EXPECT_EQ([objectOf(dictionary.get()) retainCount], 1u);
    {
        StrongRef second = StrongRef::retain(h(), dictionary.get());
        EXPECT_EQ([objectOf(dictionary.get()) retainCount], 2u);
    }
    EXPECT_EQ([objectOf(dictionary.get()) retainCount], 1u);
}

TEST_F(BackendTest, ReadsOnlyDictionaryPropertyLists) {
    struct Case {
        const char* what;
        std::string bytes;  // empty with `exists` false: no file
        bool exists;
        bool dictionary;
    };
    const Case cases[] = {
        {"no file", "", false, false},
        {"empty file", "", true, false},
        {"not a property list", "isEnabled = maybe {{{", true, false},
        {"array at the root",
         "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><true/></array></plist>", true,
         false},
        {"XML dictionary", prooftest::xmlDictionary({{"isEnabled", "<true/>"}}), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove(settingsFile());
        if (c.exists) prooftest::writeFile(settingsFile(), c.bytes);
        StrongRef read = h().initWithContentsOfFile(kDevicePath);
        EXPECT_EQ(static_cast<bool>(read), c.dictionary);
        if (read) {
            EXPECT_TRUE(h().boolValue(h().objectForKeyedSubscript(read.get(), "isEnabled")));
        }
    }
}

TEST_F(BackendTest, WritesXmlThatLibplistReadsBackWithEveryType) {
    // Every property-list type a settings file can hold.
    NSMutableDictionary* dictionary = [NSMutableDictionary dictionary];
    [dictionary setObject:[NSNumber numberWithBool:YES] forKey:@"isEnabled"];
    [dictionary setObject:[NSNumber numberWithBool:NO] forKey:@"isNotRespringing"];
    [dictionary setObject:[NSNumber numberWithInt:-50] forKey:@"VibrationDuration"];
    [dictionary setObject:[NSNumber numberWithDouble:250.5] forKey:@"vibration1"];
    [dictionary setObject:@"Y & <z>" forKey:@"note"];
    [dictionary setObject:[NSData dataWithBytes:"\x01\x02" length:2] forKey:@"blob"];
    [dictionary setObject:[NSDate dateWithTimeIntervalSince1970:1000000000] forKey:@"when"];
    [dictionary setObject:[NSArray arrayWithObjects:@"a", [NSNumber numberWithInt:3], nil]
                   forKey:@"list"];
    [dictionary setObject:[NSDictionary dictionaryWithObject:[NSNumber numberWithBool:YES]
                                                      forKey:@"inner"]
                   forKey:@"table"];
    prooftest::writeFile(settingsFile(), "old contents");

    ASSERT_TRUE(h().writeToFile_atomically(handle(dictionary), kDevicePath, true));

    const std::string bytes = prooftest::readFile(settingsFile());
    EXPECT_EQ(bytes.rfind("<?xml", 0), 0u) << bytes;
    const auto document = thrumline::plistcheck::readBytes(bytes);
    ASSERT_TRUE(document.parsed);
    EXPECT_TRUE(document.xml);
    const auto& root = document.root;
    ASSERT_EQ(root.kind, Kind::Dictionary);
    EXPECT_EQ(root.entries.size(), 9u);
    EXPECT_EQ(root["isEnabled"].kind, Kind::Boolean);
    EXPECT_TRUE(root["isEnabled"].boolean);
    EXPECT_EQ(root["isNotRespringing"].kind, Kind::Boolean);
    EXPECT_FALSE(root["isNotRespringing"].boolean);
    EXPECT_EQ(root["VibrationDuration"].kind, Kind::Integer);
    EXPECT_EQ(root["VibrationDuration"].integer, -50);
    EXPECT_EQ(root["vibration1"].kind, Kind::Real);
    EXPECT_DOUBLE_EQ(root["vibration1"].real, 250.5);
    EXPECT_EQ(root["note"].kind, Kind::String);
    EXPECT_EQ(root["note"].text, "Y & <z>");
    EXPECT_EQ(root["blob"].kind, Kind::Data);
    EXPECT_EQ(root["blob"].text, std::string("\x01\x02", 2));
    EXPECT_EQ(root["when"].kind, Kind::Date);
    ASSERT_EQ(root["list"].kind, Kind::Array);
    ASSERT_EQ(root["list"].items.size(), 2u);
    EXPECT_EQ(root["list"].items[0].kind, Kind::String);
    EXPECT_EQ(root["list"].items[1].kind, Kind::Integer);
    ASSERT_EQ(root["table"].kind, Kind::Dictionary);
    EXPECT_EQ(root["table"]["inner"].kind, Kind::Boolean);

    // Atomic: the auxiliary file was renamed into place, nothing is left over.
    int files = 0;
    for (const auto& entry :
         std::filesystem::directory_iterator(std::filesystem::path(settingsFile()).parent_path())) {
        (void)entry;
        ++files;
    }
    EXPECT_EQ(files, 1);
}

TEST_F(BackendTest, WritingNothingCreatesNoFile) {
    EXPECT_FALSE(h().writeToFile_atomically(nullptr, kDevicePath, true));
    EXPECT_FALSE(std::filesystem::exists(settingsFile()));
    // No folder to write into: the write fails and says so.
    StrongRef dictionary = h().newMutableDictionary();
    EXPECT_FALSE(h().writeToFile_atomically(dictionary.get(), "/no/such/folder/x.plist", true));
}

TEST_F(BackendTest, HooksOwnAndInheritedMethods) {
    BackendHookBase* base = [[[BackendHookBase alloc] init] autorelease];
    BackendHookDerived* derived = [[[BackendHookDerived alloc] init] autorelease];
    const IMP baseInherited =
        [BackendHookBase instanceMethodForSelector:@selector(inheritedMethod:)];

    // A method the class only inherits: the replacement goes into the
    // subclass, the slot holds the superclass's implementation, and the
    // superclass itself is untouched.
    h().MSHookMessageEx(h().objc_getClass("BackendHookDerived"),
                        h().sel_registerName("inheritedMethod:"), &replacement, &gSlot);
    ASSERT_NE(gSlot, nullptr);
    EXPECT_EQ((void*)gSlot, (void*)baseInherited);
    [derived inheritedMethod:@"d"];
    [base inheritedMethod:@"b"];
    EXPECT_EQ(gRuns,
              (std::vector<std::string>{"replacement BackendHookDerived inheritedMethod: d",
                                        "base-inherited BackendHookDerived inheritedMethod: d",
                                        "base-inherited BackendHookBase inheritedMethod: b"}));
}

TEST_F(BackendTest, HookWithoutClassOrMethodLeavesTheSlot) {
    const thrumline::MethodImp marker = &replacement;
    gSlot = marker;
    h().MSHookMessageEx(h().objc_getClass("NoSuchHostClass"), h().sel_registerName("ownMethod:"),
                        &replacement, &gSlot);
    h().MSHookMessageEx(h().objc_getClass("BackendHookBase"), h().sel_registerName("noSuchMethod:"),
                        &replacement, &gSlot);
    EXPECT_EQ(gSlot, marker);
    EXPECT_EQ(h().objc_getClass("NoSuchHostClass"), nullptr);

    // The class's own method: replaced in place, every instance reaches it.
    gSlot = nullptr;
    h().MSHookMessageEx(h().objc_getClass("BackendHookBase"), h().sel_registerName("ownMethod:"),
                        &replacement, &gSlot);
    ASSERT_NE(gSlot, nullptr);
    [[[[BackendHookDerived alloc] init] autorelease] ownMethod:@"x"];
    EXPECT_EQ(gRuns, (std::vector<std::string>{"replacement BackendHookDerived ownMethod: x",
                                               "base-own BackendHookDerived ownMethod: x"}));
}

int gStepRuns = 0;
void countStep() { ++gStepRuns; }
int gCallbackRuns = 0;
std::string gCallbackName;
void countCallback(thrumline::NotificationCenter, void*, Object name, const void*, Object) {
    ++gCallbackRuns;
    gCallbackName = [objectOf(name) UTF8String];
}

TEST_F(BackendTest, MainQueueRunsStepsLaterAndOnTime) {
    gStepRuns = 0;
    h().dispatch_after(h().dispatch_time(thrumline::kDispatchTimeNow, 0),
                       (h().dispatch_get_main_queue)(), &countStep);
    EXPECT_EQ(gStepRuns, 0) << "ran inside dispatch_after";
    proof::runUntilIdle();
    EXPECT_EQ(gStepRuns, 1);

    h().dispatch_after(h().dispatch_time(thrumline::kDispatchTimeNow, 7000000000LL),
                       (h().dispatch_get_main_queue)(), &countStep);
    proof::advanceBy(6999999999ULL);
    EXPECT_EQ(gStepRuns, 1);
    proof::advanceBy(1);
    EXPECT_EQ(gStepRuns, 2);
    // A time already past is due at once.
    h().dispatch_after(h().dispatch_time(thrumline::kDispatchTimeNow, -5000000000LL),
                       (h().dispatch_get_main_queue)(), &countStep);
    proof::runUntilIdle();
    EXPECT_EQ(gStepRuns, 3);
    EXPECT_EQ(proof::pendingSteps(), 0u);
}

TEST_F(BackendTest, OwnPostReachesOwnObserverOnceAndLater) {
    gCallbackRuns = 0;
    h().CFNotificationCenterAddObserver(h().CFNotificationCenterGetDarwinNotifyCenter(), nullptr,
                                        &countCallback, "com.example.one", nullptr,
                                        thrumline::kSuspensionBehaviorCoalesce);
    ASSERT_EQ(proof::registrations().size(), 1u);
    EXPECT_EQ(proof::registrations()[0].name, "com.example.one");
    EXPECT_EQ(proof::registrations()[0].observer, nullptr);
    EXPECT_EQ(proof::registrations()[0].suspensionBehavior, 2);
    EXPECT_EQ(h().CFNotificationCenterGetDarwinNotifyCenter(),
              h().CFNotificationCenterGetDarwinNotifyCenter());

    h().CFNotificationCenterPostNotification(h().CFNotificationCenterGetDarwinNotifyCenter(),
                                             "com.example.other", nullptr, nullptr, true);
    h().CFNotificationCenterPostNotification(h().CFNotificationCenterGetDarwinNotifyCenter(),
                                             "com.example.one", nullptr, nullptr, true);
    EXPECT_EQ(gCallbackRuns, 0) << "delivered inside the post";
    proof::runUntilIdle();
    EXPECT_EQ(gCallbackRuns, 1);
    EXPECT_EQ(gCallbackName, "com.example.one");
    ASSERT_EQ(proof::posts().size(), 2u);
    EXPECT_TRUE(proof::posts()[1].deliverImmediately);
}

TEST_F(BackendTest, PlatformValuesAndSounds) {
    proof::setCoreFoundationVersion(1443.0);
    EXPECT_EQ(h().kCFCoreFoundationVersionNumber(), 1443.0);
    EXPECT_NE(h().objc_getClass("NSObject"), nullptr);

    BackendCall* connected = [[[BackendCall alloc] initConnected:YES] autorelease];
    BackendCall* ended = [[[BackendCall alloc] initConnected:NO] autorelease];
    EXPECT_TRUE(h().isConnected(handle(connected)));
    EXPECT_FALSE(h().isConnected(handle(ended)));
    EXPECT_FALSE(h().isConnected(nullptr));
    EXPECT_FALSE(h().isConnected(handle(@"not a call")));  // would raise if sent

    h().AudioServicesPlaySystemSound(1352);
    StrongRef pattern = h().newMutableDictionary();
    h().AudioServicesPlaySystemSoundWithVibration(4095, nullptr, pattern.get());
    ASSERT_EQ(proof::sounds().size(), 2u);
    EXPECT_EQ(proof::sounds()[0].soundID, 1352u);
    EXPECT_FALSE(proof::sounds()[0].withPattern);
    EXPECT_EQ(proof::sounds()[1].soundID, 4095u);
    EXPECT_TRUE(proof::sounds()[1].unusedWasNil);
    EXPECT_EQ((void*)proof::sounds()[1].pattern, (void*)pattern.get());
}

}  // namespace
