// The emulated phone binary: the loader's work read back from memory, and
// two copies of the dylib with a deliberate fault that the harness must see.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "host/phone/MachO.h"
#include "host/phone/PhoneBinary.h"
#include "host/sim/Files.h"
#include "host/sim/ProcessImpl.h"

namespace {

using namespace thrumline;
using sim::PlistValue;

const char* const kDylibs[] = {THRUMLINE_PHONE_ROOTFUL, THRUMLINE_PHONE_ROOTLESS};
// What both groups' setActiveCall: replacements run, past the host's own
// implementation: the function the controls change.
const char* const kAnnouncementHandler = "activeCallSet";

std::string readBytes(const std::string& path) {
    std::string bytes;
    EXPECT_TRUE(sim::readFileBytes(path, &bytes)) << path;
    return bytes;
}

std::uint64_t fileOffset(const phone::Image& image, std::uint64_t addr) {
    for (const phone::Segment& s : image.segments) {
        if (addr >= s.vmaddr && addr < s.vmaddr + s.filesize) return addr - s.vmaddr + s.fileoff;
    }
    ADD_FAILURE() << "address outside the file: " << addr;
    return 0;
}

std::uint64_t symbolAddress(const phone::Image& image, const std::string& part) {
    for (const phone::Symbol& s : image.symbols) {
        if (s.name.find(part) != std::string::npos) return s.addr;
    }
    ADD_FAILURE() << "no symbol " << part;
    return 0;
}

std::uint32_t instructionAt(const std::string& bytes, std::uint64_t offset) {
    std::uint32_t word = 0;
    std::memcpy(&word, bytes.data() + offset, 4);
    return word;
}

// The first instruction of function `function` that `match` accepts,
// replaced by what `change` makes of it, in a copy of the rootful dylib.
template <class Match, class Change>
std::string changedCopy(const std::string& function, Match match, Change change) {
    const phone::Image image = phone::readImage(readBytes(THRUMLINE_PHONE_ROOTFUL));
    std::string bytes = image.bytes;
    const std::uint64_t start = symbolAddress(image, function);
    for (std::uint64_t addr = start; addr < start + 0x400; addr += 4) {
        const std::uint64_t offset = fileOffset(image, addr);
        const std::uint32_t word = instructionAt(bytes, offset);
        if (!match(image, addr, word)) continue;
        const std::uint32_t changed = change(word);
        std::memcpy(&bytes[offset], &changed, 4);
        // Named after the test: ctest runs the controls side by side.
        const std::string path = ::testing::TempDir() + "changed-" +
                                 ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                 ".dylib";
        EXPECT_TRUE(sim::writeFileAtomically(path, bytes));
        return path;
    }
    ADD_FAILURE() << "no such instruction in " << function;
    return {};
}

struct Outcome {
    std::vector<PlistValue> vibrations;
    std::vector<std::string> faults;
};

// iOS 11's home screen on `dylib`: a call connects and ends.
Outcome callOn(const std::string& dylib) {
    sim::Device device;
    device.paneWriteSettings(
        PlistValue::dictionary({{"isEnabled", PlistValue::boolean(true)},
                                {"isNotRespringing", PlistValue::boolean(true)},
                                {"vibration1", PlistValue::integer(250)},
                                {"vibration2", PlistValue::integer(400)}}));
    sim::ProcessOptions options;
    options.phoneBinary = dylib;
    sim::Process process(device, options);
    process.start();
    const Object call = process.newCall(true);
    process.setActiveCall(call);
    device.mainQueue().runUntilIdle();
    process.setConnected(call, false);
    process.setActiveCall(call);
    device.mainQueue().runUntilIdle();
    process.releaseObject(call);
    Outcome outcome;
    for (const sim::Event& event : device.events()) {
        if (const auto* v = event.get<sim::events::Vibrate>())
            outcome.vibrations.push_back(v->request);
        if (const auto* f = event.get<sim::events::Fault>())
            outcome.faults.push_back(f->call + ": " + f->problem);
    }
    return outcome;
}

TEST(PhoneLoader, BindsEveryImportAndGivesEachSelectorNameOneAddress) {
    for (const char* dylib : kDylibs) {
        SCOPED_TRACE(dylib);
        const phone::Image image = phone::readImage(readBytes(dylib));
        const std::string& bytes = image.bytes;
        // The selector names as the file holds them, read apart from the loader.
        const phone::Section* refs = image.section("__objc_selrefs");
        ASSERT_NE(refs, nullptr);
        std::set<std::string> names;
        for (std::uint64_t a = 0; a < refs->size; a += 8) {
            std::uint64_t target = 0;
            std::memcpy(&target, bytes.data() + fileOffset(image, refs->addr + a), 8);
            names.insert(bytes.c_str() + fileOffset(image, target));
        }
        std::size_t binds = 0;
        for (const phone::Fixup& f : image.fixups) binds += f.kind != phone::Fixup::Kind::Rebase;

        sim::Device device;
        sim::ProcessOptions options;
        options.phoneBinary = dylib;
        sim::Process process(device, options);
        process.start();
        const auto* impl = sim::Process::Impl::owning(process.telephonyManager());
        ASSERT_NE(impl, nullptr);
        const phone::LoadReport& report = impl->phone->report();
        EXPECT_EQ(report.binds, binds);
        EXPECT_GT(report.rebases, 0u);
        EXPECT_TRUE(report.unmodelled.empty()) << report.unmodelled.front();
        EXPECT_EQ(report.selectorRefs, refs->size / 8);
        EXPECT_EQ(report.selectorNames, names.size());
        EXPECT_TRUE(report.selectorProblems.empty());
        EXPECT_EQ(process.faults(), 0);
        EXPECT_TRUE(process.isHooked("SBTelephonyManager", "setActiveCall:"));
    }
}

TEST(PhoneNegativeControls, OneChangedInstructionGivesAnotherVibration) {
    const Outcome original = callOn(THRUMLINE_PHONE_ROOTFUL);
    ASSERT_EQ(original.vibrations.size(), 2u);
    EXPECT_EQ(original.vibrations[1].at("VibePattern").items().at(1).intValue(), 400);
    EXPECT_TRUE(original.faults.empty());
    // The ended moment asks for the connected moment's output: `mov w0, #1`
    // (the last slot) before `bl vibrateForSlot` becomes `mov w0, #0`.
    const std::string changed = changedCopy(
        kAnnouncementHandler,
        [](const phone::Image& image, std::uint64_t addr, std::uint32_t word) {
            const std::uint32_t next = instructionAt(image.bytes, fileOffset(image, addr + 4));
            const auto offset = static_cast<std::int32_t>(next << 6) >> 6;  // imm26, signed
            return word == 0x52800020 && (next & 0xFC000000) == 0x94000000 &&
                   addr + 4 + 4 * std::int64_t(offset) == symbolAddress(image, "vibrateForSlot");
        },
        [](std::uint32_t) { return 0x52800000u; });
    const Outcome outcome = callOn(changed);
    ASSERT_EQ(outcome.vibrations.size(), 2u);
    EXPECT_EQ(outcome.vibrations[0], original.vibrations[0]);
    EXPECT_EQ(outcome.vibrations[1].at("VibePattern").items().at(1).intValue(), 250);
    std::remove(changed.c_str());
}

TEST(PhoneNegativeControls, ACalleeSavedRegisterLeftClobberedIsAFault) {
    // The replacement's epilogue no longer restores x19:
    // `ldp x20, x19, [sp, #..]` becomes `ldp x20, xzr, [sp, #..]`.
    const std::string changed = changedCopy(
        kAnnouncementHandler,
        [](const phone::Image&, std::uint64_t, std::uint32_t word) {
            return (word & 0xFFC00000) == 0xA9400000 && ((word >> 10) & 31) == 19 &&
                   ((word >> 5) & 31) == 31;
        },
        [](std::uint32_t word) { return word | (31u << 10); });
    const Outcome outcome = callOn(changed);
    ASSERT_FALSE(outcome.faults.empty());
    EXPECT_NE(outcome.faults[0].find("callee-saved x19"), std::string::npos) << outcome.faults[0];
    // The connected call vibrated before the replacement returned; after the
    // crash nothing of the binary runs, so the end is silent.
    EXPECT_EQ(outcome.vibrations.size(), 1u);
    std::remove(changed.c_str());
}

}  // namespace
