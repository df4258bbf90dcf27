#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/sim/ObjectRuntime.h"
#include "host/sim/SimHost.h"

namespace thrumline::sim {
namespace {

std::vector<std::string> ran;
void baseImp(Object, Selector, Object) { ran.push_back("base"); }
void ownImp(Object, Selector, Object) { ran.push_back("own"); }
void replacementImp(Object, Selector, Object) { ran.push_back("replacement"); }
void sentinelImp(Object, Selector, Object) {}

struct Faults {
    std::vector<std::string> seen;
    ObjectRuntime::FaultSink sink() {
        return [this](const std::string& m, const std::string& d) { seen.push_back(m + ": " + d); };
    }
};

TEST(ObjectRuntimeTest, HookReplacesOwnMethodAndHandsBackTheOldOne) {
    ObjectRuntime rt;
    SimClass* cls = rt.defineClass("Widget");
    rt.addMethod(cls, "poke:", &ownImp);
    MethodImp slot = nullptr;
    EXPECT_EQ(rt.hook(toHandle(cls), toHandle(rt.selector("poke:")), &replacementImp, &slot),
              ObjectRuntime::HookResult::Installed);
    EXPECT_EQ(slot, &ownImp);
    EXPECT_EQ(rt.lookup(cls, rt.selector("poke:")), &replacementImp);
}

TEST(ObjectRuntimeTest, HookOfAnInheritedMethodAddsItToTheSubclassOnly) {
    ObjectRuntime rt;
    SimClass* base = rt.defineClass("Base");
    SimClass* derived = rt.defineClass("Derived", base);
    rt.addMethod(base, "poke:", &baseImp);
    MethodImp slot = nullptr;
    ASSERT_EQ(rt.hook(toHandle(derived), toHandle(rt.selector("poke:")), &replacementImp, &slot),
              ObjectRuntime::HookResult::Installed);
    EXPECT_EQ(slot, &baseImp);
    EXPECT_EQ(rt.lookup(derived, rt.selector("poke:")), &replacementImp);
    EXPECT_EQ(rt.lookup(base, rt.selector("poke:")), &baseImp);
}

TEST(ObjectRuntimeTest, HookWithoutClassMethodOrReplacementLeavesTheSlotAlone) {
    ObjectRuntime rt;
    SimClass* cls = rt.defineClass("Widget");
    rt.addMethod(cls, "poke:", &ownImp);
    MethodImp slot = &sentinelImp;
    using R = ObjectRuntime::HookResult;
    EXPECT_EQ(rt.hook(nullptr, toHandle(rt.selector("poke:")), &replacementImp, &slot), R::NoClass);
    EXPECT_EQ(rt.hook(toHandle(cls), toHandle(rt.selector("prod:")), &replacementImp, &slot),
              R::NoMethod);
    EXPECT_EQ(rt.hook(toHandle(cls), toHandle(rt.selector("poke:")), nullptr, &slot),
              R::NoReplacement);
    EXPECT_EQ(slot, &sentinelImp);
    EXPECT_EQ(rt.lookup(cls, rt.selector("poke:")), &ownImp);
}

TEST(ObjectRuntimeTest, LastReleaseLeavesAZombieThatReportsMessages) {
    Faults faults;
    ObjectRuntime rt(faults.sink());
    SimObject* dict = rt.newDictionary();
    SimObject* value = rt.fromPlist(PlistValue::integer(3));
    rt.setObjectForKey(dict, value, "k");
    EXPECT_EQ(rt.retainCount(toHandle(value)), 2);
    rt.release(toHandle(value));
    EXPECT_EQ(rt.liveObjects(), 2u);

    rt.release(toHandle(dict));  // frees the dictionary and with it the value
    EXPECT_EQ(rt.liveObjects(), 0u);
    EXPECT_FALSE(rt.isAlive(toHandle(value)));
    EXPECT_EQ(rt.retainCount(toHandle(dict)), 0);
    EXPECT_TRUE(faults.seen.empty());

    EXPECT_EQ(rt.receiver(toHandle(value), "intValue"), nullptr);
    rt.release(toHandle(dict));
    ASSERT_EQ(faults.seen.size(), 2u);
    EXPECT_EQ(faults.seen[0], "intValue: message to deallocated <NSNumber #2 deallocated>");
    EXPECT_EQ(faults.seen[1].rfind("release: message to deallocated", 0), 0u);

    int stranger = 0;
    EXPECT_EQ(rt.receiver(&stranger, "boolValue"), nullptr);
    EXPECT_EQ(rt.receiver(nullptr, "boolValue"), nullptr);
    EXPECT_EQ(faults.seen.size(), 3u);
}

TEST(ObjectRuntimeTest, ReplacingADictionaryValueReleasesTheOldOne) {
    ObjectRuntime rt;
    SimObject* dict = rt.newDictionary();
    SimObject* first = rt.fromPlist(PlistValue::boolean(false));
    SimObject* second = rt.fromPlist(PlistValue::boolean(true));
    rt.setObjectForKey(dict, first, "isNotRespringing");
    rt.setObjectForKey(dict, rt.fromPlist(PlistValue::string("other")), "z");
    rt.release(toHandle(first));
    rt.setObjectForKey(dict, second, "isNotRespringing");
    rt.release(toHandle(second));
    EXPECT_FALSE(rt.isAlive(toHandle(first)));
    EXPECT_EQ(rt.retainCount(toHandle(second)), 1);
    EXPECT_EQ(rt.toPlist(dict).entries().front().first, "isNotRespringing");
    EXPECT_EQ(rt.toPlist(dict),
              PlistValue::dictionary({{"isNotRespringing", PlistValue::boolean(true)},
                                      {"z", PlistValue::string("other")}}));
}

// The host's classes in a process that has not loaded any library.
TEST(HostObjectsTest, ClassesOfTheHomeScreenAndAbsentOnes) {
    Device device;
    ProcessOptions options;
    options.absentClasses = {"CHManager"};
    Process process(device, options);
    HostServices& h = process.services();
    EXPECT_NE(h.objc_getClass("SBTelephonyManager"), nullptr);
    EXPECT_NE(h.objc_getClass("SpringBoard"), nullptr);
    EXPECT_EQ(h.objc_getClass("CHManager"), nullptr);
    EXPECT_EQ(h.objc_getClass("NoSuchClass"), nullptr);
    EXPECT_EQ(process.callHistoryManager(), nullptr);

    MethodImp slot = &sentinelImp;
    h.MSHookMessageEx(h.objc_getClass("CHManager"), h.sel_registerName("databaseChanged:"),
                      &replacementImp, &slot);
    h.MSHookMessageEx(h.objc_getClass("SpringBoard"), h.sel_registerName("setActiveCall:"),
                      &replacementImp, &slot);
    EXPECT_EQ(slot, &sentinelImp);
    process.databaseChanged(nullptr);  // nobody to send it to
    ASSERT_EQ(device.events().size(), 2u);
    EXPECT_EQ(device.events()[0].kind, EventKind::HookSkipped);
    EXPECT_EQ(device.events()[0].name, "(null) databaseChanged:");
    EXPECT_EQ(device.events()[1].kind, EventKind::HookSkipped);
    EXPECT_EQ(device.events()[1].name, "SpringBoard setActiveCall:");
    EXPECT_FALSE(process.isHooked("SpringBoard", "applicationDidFinishLaunching:"));
}

// A replacement as the library writes one: it calls the slot with what it got.
MethodImp savedSlot = nullptr;
void passThrough(Object self, Selector cmd, Object arg) {
    ran.push_back("replacement");
    savedSlot(self, cmd, arg);
}

TEST(HostObjectsTest, HostMethodRecordsReceiverAndArgumentAlsoThroughAHook) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    h.MSHookMessageEx(h.objc_getClass("SBTelephonyManager"), h.sel_registerName("setActiveCall:"),
                      &passThrough, &savedSlot);
    EXPECT_TRUE(process.isHooked("SBTelephonyManager", "setActiveCall:"));
    Object call = process.newCall(true);
    ran.clear();
    process.setActiveCall(call);
    EXPECT_EQ(ran, std::vector<std::string>{"replacement"});
    const Event& last = device.events().back();
    EXPECT_EQ(last.kind, EventKind::HostMethodRan);
    EXPECT_EQ(last.name, "SBTelephonyManager setActiveCall:");
    EXPECT_EQ(last.receiver, process.telephonyManager());
    EXPECT_EQ(last.argument, call);
    EXPECT_EQ(device.events()[0].kind, EventKind::HookInstalled);
    EXPECT_EQ(device.events()[0].name, "SBTelephonyManager setActiveCall:");
    process.releaseObject(call);
}

TEST(HostObjectsTest, HostBehaviourReleasesTheArgumentOrFailsAfterRecording) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    process.setHostBehaviour("setActiveCall:", {/*releaseArgument=*/true, false});
    Object call = process.newCall(false);
    process.setActiveCall(call);
    EXPECT_FALSE(process.isAlive(call));
    EXPECT_FALSE(h.isConnected(call));  // a message to the dead call
    EXPECT_EQ(process.faults(), 1);
    EXPECT_EQ(device.events().back().kind, EventKind::Fault);
    EXPECT_EQ(device.events().back().name, "isConnected");

    process.setHostBehaviour("applicationDidFinishLaunching:", {false, /*throwFailure=*/true});
    EXPECT_THROW(process.applicationDidFinishLaunching(process.application()), HostFailure);
    EXPECT_EQ(device.events().back().kind, EventKind::HostMethodRan);
    EXPECT_EQ(device.events().back().name, "SpringBoard applicationDidFinishLaunching:");
}

TEST(HostObjectsTest, CallsCountQueriesAndNilAnswersFalse) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    const std::size_t before = process.liveObjects();
    Object call = process.newCall(false);
    EXPECT_EQ(process.liveObjects(), before + 1);
    EXPECT_FALSE(h.isConnected(call));
    process.setConnected(call, true);
    EXPECT_TRUE(h.isConnected(call));
    EXPECT_EQ(process.isConnectedQueries(call), 2);
    EXPECT_FALSE(h.isConnected(nullptr));
    h.retain(call);
    EXPECT_EQ(process.retainCount(call), 2);
    h.release(call);
    process.releaseObject(call);
    EXPECT_EQ(process.liveObjects(), before);
    EXPECT_EQ(process.faults(), 0);
}

TEST(SettingsFileTest, ReadGivesANewDictionaryOnlyForADictionaryRoot) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));
    device.paneWriteSettings(PlistValue::array({PlistValue::integer(1)}));
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));
    device.paneWriteSettingsBytes("not a property list");
    EXPECT_FALSE(h.initWithContentsOfFile(kDeviceSettingsPath));

    const PlistValue settings = PlistValue::dictionary(
        {{"isEnabled", PlistValue::boolean(true)},
         {"unknown", PlistValue::array({PlistValue::data("x"), PlistValue::date(86400)})}});
    device.paneWriteSettings(settings);
    const std::size_t before = process.liveObjects();
    {
        StrongRef prefs = h.initWithContentsOfFile(kDeviceSettingsPath);
        ASSERT_TRUE(prefs);
        EXPECT_EQ(process.retainCount(prefs.get()), 1);
        EXPECT_TRUE(h.boolValue(h.objectForKeyedSubscript(prefs.get(), "isEnabled")));
        EXPECT_EQ(h.objectForKeyedSubscript(prefs.get(), "missing"), nullptr);
        EXPECT_EQ(process.valueOf(prefs.get()), settings);
    }
    EXPECT_EQ(process.liveObjects(), before);

    std::vector<bool> found;
    for (const Event& e : device.events()) {
        if (e.kind == EventKind::SettingsRead) found.push_back(e.flag);
    }
    EXPECT_EQ(found, (std::vector<bool>{false, false, false, true}));
    EXPECT_EQ(process.faults(), 0);
}

TEST(SettingsFileTest, WriteKeepsUnknownKeysAndNilWritesNothing) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    EXPECT_FALSE(h.writeToFile_atomically(nullptr, kDeviceSettingsPath, true));
    EXPECT_TRUE(device.readSettingsFile().isNone());

    device.paneWriteSettings(
        PlistValue::dictionary({{"extra", PlistValue::unsignedInteger(UINT64_MAX)},
                                {"isNotRespringing", PlistValue::boolean(true)}}));
    StrongRef prefs = h.initWithContentsOfFile(kDeviceSettingsPath);
    StrongRef no = h.numberWithBool(false);
    h.setObject_forKey(prefs.get(), no.get(), "isNotRespringing");
    EXPECT_TRUE(h.writeToFile_atomically(prefs.get(), kDeviceSettingsPath, true));
    const PlistValue expected =
        PlistValue::dictionary({{"extra", PlistValue::unsignedInteger(UINT64_MAX)},
                                {"isNotRespringing", PlistValue::boolean(false)}});
    EXPECT_EQ(device.readSettingsFile(), expected);
    const Event& written = device.events().back();
    EXPECT_EQ(written.kind, EventKind::SettingsWritten);
    EXPECT_TRUE(written.flag);
    EXPECT_EQ(written.value, expected);
    EXPECT_FALSE(h.writeToFile_atomically(prefs.get(), "/no/such/folder/x.plist", true));
    EXPECT_FALSE(device.events().back().flag);
}

TEST(AudioTest, VibrationIsRecordedAsACopyOfThePattern) {
    Device device;
    Process process(device);
    HostServices& h = process.services();
    StrongRef pattern = h.newMutableDictionary();
    StrongRef steps = h.newMutableArray();
    StrongRef on = h.numberWithBool(true);
    StrongRef length = h.numberWithInt(300);
    h.addObject(steps.get(), on.get());
    h.addObject(steps.get(), length.get());
    h.setObject_forKey(pattern.get(), steps.get(), "VibePattern");
    h.setObject_forKey(pattern.get(), on.get(), "Intensity");
    h.AudioServicesPlaySystemSoundWithVibration(4095, nullptr, pattern.get());
    h.setObject_forKey(pattern.get(), length.get(), "Intensity");
    h.AudioServicesPlaySystemSound(1352);

    const auto& events = device.events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, EventKind::Vibrate);
    EXPECT_EQ(events[0].sound, 4095u);
    EXPECT_EQ(events[0].value, PlistValue::dictionary(
                                   {{"VibePattern", PlistValue::array({PlistValue::boolean(true),
                                                                       PlistValue::integer(300)})},
                                    {"Intensity", PlistValue::boolean(true)}}));
    EXPECT_EQ(events[1].kind, EventKind::Sound);
    EXPECT_EQ(events[1].sound, 1352u);
}

}  // namespace
}  // namespace thrumline::sim
