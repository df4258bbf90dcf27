// The emulated phone binary: the loader's work read back from memory, on
// both slices, and copies of the dylib with a deliberate fault that the
// harness must see: a changed instruction on either slice, and on the arm64e
// slice function pointers signed wrongly or not at all.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>

#include "simulator/home-screen/Files.h"
#include "simulator/home-screen/ProcessImpl.h"
#include "simulator/phone/MachO.h"
#include "simulator/phone/MachOFormat.h"
#include "simulator/phone/PhoneBinary.h"

namespace {

using namespace thrumline;
using sim::PlistValue;

const char* const kDylibs[] = {THRUMLINE_PHONE_ROOTFUL, THRUMLINE_PHONE_ROOTLESS};
const char* const kSlices[] = {"arm64", "arm64e"};
// What both groups' setActiveCall: replacements run, past the host's own
// implementation: the function the controls change.
const char* const kAnnouncementHandler = "activeCallSet";
constexpr std::uint32_t kNop = 0xD503201F;
// paciza xN and pacizb xN: the same but for the key (bit 10).
constexpr std::uint32_t kPaciza = 0xDAC123E0, kPacizbBit = 0x400;

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

// Where `slice` starts in the fat file `file`.
std::uint64_t sliceStart(const std::string& file, const std::string& slice) {
    const std::vector<std::string> names = phone::sliceNames(file);
    for (std::size_t k = 0; k < names.size(); ++k) {
        if (names[k] != slice) continue;
        phone::macho::fat_arch arch;
        std::memcpy(&arch, file.data() + sizeof(phone::macho::fat_header) + sizeof arch * k,
                    sizeof arch);
        return __builtin_bswap32(arch.offset);
    }
    ADD_FAILURE() << "no " << slice << " slice";
    return 0;
}

// The rootful dylib with one instruction of `slice` changed: the first at
// or after the start of `function` (the whole image when empty) that `match`
// accepts, replaced by what `change` makes of it. Written as a fat file like
// the original, under a name of its own.
template <class Match, class Change>
std::string changedCopy(const std::string& slice, const std::string& function, Match match,
                        Change change) {
    std::string file = readBytes(THRUMLINE_PHONE_ROOTFUL);
    const phone::Image image = phone::readImage(file, slice);
    const std::uint64_t start = function.empty() ? 0 : symbolAddress(image, function);
    const std::uint64_t end = function.empty() ? image.end() : start + 0x400;
    for (const phone::Section& text : image.sections) {
        if (text.name != "__text") continue;
        for (std::uint64_t addr = std::max(start, text.addr);
             addr < std::min(end, text.addr + text.size); addr += 4) {
            const std::uint64_t offset = fileOffset(image, addr);
            const std::uint32_t word = instructionAt(image.bytes, offset);
            if (!match(image, addr, word)) continue;
            const std::uint32_t changed = change(word);
            std::memcpy(&file[sliceStart(file, slice) + offset], &changed, 4);
            // Named after the test: ctest runs the controls side by side.
            const std::string path =
                ::testing::TempDir() + "changed-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" + slice +
                ".dylib";
            EXPECT_TRUE(sim::writeFileAtomically(path, file));
            return path;
        }
    }
    ADD_FAILURE() << "no such instruction in " << (function.empty() ? "the image" : function);
    return {};
}

// The `paciza` that signs the address of `target` in code: adrp, add and
// paciza of one register, as clang writes every function address it takes.
auto signs(const std::string& target) {
    return [target](const phone::Image& image, std::uint64_t addr, std::uint32_t word) {
        if ((word & 0xFFFFFFE0) != kPaciza || addr < 8) return false;
        const std::uint32_t reg = word & 31;
        const std::uint32_t adrp = instructionAt(image.bytes, fileOffset(image, addr - 8));
        const std::uint32_t add = instructionAt(image.bytes, fileOffset(image, addr - 4));
        if ((adrp & 0x9F00001F) != (0x90000000 | reg) ||
            (add & 0xFFC003FF) != (0x91000000 | reg << 5 | reg))
            return false;
        const std::uint64_t immediate = (adrp >> 5 & 0x7FFFF) << 2 | (adrp >> 29 & 3);
        const std::int64_t pages = static_cast<std::int64_t>(immediate << 43) >> 43;  // signed
        const std::uint64_t address =
            ((addr - 8) & ~std::uint64_t(0xFFF)) + pages * 4096 + (add >> 10 & 0xFFF);
        return address == symbolAddress(image, target);
    };
}

struct Outcome {
    std::vector<PlistValue> vibrations;
    std::vector<std::string> faults;
};

// iOS 11's home screen on `slice` of `dylib`: a call connects and ends, then
// the pane says the settings changed.
Outcome callOn(const std::string& dylib, const std::string& slice) {
    sim::Device device;
    device.paneWriteSettings(
        PlistValue::dictionary({{"isEnabled", PlistValue::boolean(true)},
                                {"isNotRespringing", PlistValue::boolean(true)},
                                {"vibration1", PlistValue::integer(250)},
                                {"vibration2", PlistValue::integer(400)}}));
    sim::ProcessOptions options;
    options.phoneBinary = dylib;
    options.phoneSlice = slice;
    sim::Process process(device, options);
    process.start();
    const Object call = process.newCall(true);
    process.setActiveCall(call);
    device.mainQueue().runUntilIdle();
    process.setConnected(call, false);
    process.setActiveCall(call);
    device.mainQueue().runUntilIdle();
    process.releaseObject(call);
    device.panePost(THRUMLINE_PREFS_CHANGED_NOTIFICATION);
    device.mainQueue().runUntilIdle();
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
        for (const char* slice : kSlices) {
            SCOPED_TRACE(std::string(dylib) + " " + slice);
            const phone::Image image = phone::readImage(readBytes(dylib), slice);
            EXPECT_EQ(image.arm64e, std::string(slice) == "arm64e");
            // The selector names as the file holds them, read apart from the loader.
            const phone::Section* refs = image.section("__objc_selrefs");
            ASSERT_NE(refs, nullptr);
            std::set<std::string> names;
            for (std::uint64_t a = 0; a < refs->size; a += 8) {
                const std::uint64_t target = image.rebasedPointer(refs->addr + a);
                names.insert(image.bytes.c_str() + fileOffset(image, target));
            }
            std::size_t binds = 0;
            for (const phone::Fixup& f : image.fixups)
                binds += f.kind != phone::Fixup::Kind::Rebase;

            sim::Device device;
            sim::ProcessOptions options;
            options.phoneBinary = dylib;
            options.phoneSlice = slice;
            sim::Process process(device, options);
            process.start();
            EXPECT_EQ(process.phoneSlice(), slice);
            const auto* impl = sim::Process::Impl::owning(process.telephonyManager());
            ASSERT_NE(impl, nullptr);
            const phone::LoadReport& report = impl->phone->report();
            EXPECT_EQ(report.binds, binds);
            EXPECT_GT(report.rebases, 0u);
            EXPECT_TRUE(report.unmodelled.empty()) << report.unmodelled.front();
            EXPECT_EQ(report.selectorRefs, refs->size / 8);
            EXPECT_EQ(report.selectorNames, names.size());
            EXPECT_GT(names.size(), 10u);
            EXPECT_TRUE(report.selectorProblems.empty());
            EXPECT_EQ(process.faults(), 0);
            EXPECT_TRUE(process.isHooked("SBTelephonyManager", "setActiveCall:"));
        }
    }
}

TEST(PhoneNegativeControls, OneChangedInstructionGivesAnotherVibration) {
    for (const char* slice : kSlices) {
        SCOPED_TRACE(slice);
        const Outcome original = callOn(THRUMLINE_PHONE_ROOTFUL, slice);
        ASSERT_EQ(original.vibrations.size(), 2u);
        EXPECT_EQ(original.vibrations[1].at("VibePattern").items().at(1).intValue(), 400);
        EXPECT_TRUE(original.faults.empty());
        // The ended moment asks for the connected moment's output: `mov w0, #1`
        // (the last slot) before `bl vibrateForSlot` becomes `mov w0, #0`.
        const std::string changed = changedCopy(
            slice, kAnnouncementHandler,
            [](const phone::Image& image, std::uint64_t addr, std::uint32_t word) {
                const std::uint32_t next = instructionAt(image.bytes, fileOffset(image, addr + 4));
                const auto offset = static_cast<std::int32_t>(next << 6) >> 6;  // imm26, signed
                return word == 0x52800020 && (next & 0xFC000000) == 0x94000000 &&
                       addr + 4 + 4 * std::int64_t(offset) ==
                           symbolAddress(image, "vibrateForSlot");
            },
            [](std::uint32_t) { return 0x52800000u; });
        const Outcome outcome = callOn(changed, slice);
        ASSERT_EQ(outcome.vibrations.size(), 2u);
        EXPECT_EQ(outcome.vibrations[0], original.vibrations[0]);
        EXPECT_EQ(outcome.vibrations[1].at("VibePattern").items().at(1).intValue(), 250);
        std::remove(changed.c_str());
    }
}

TEST(PhoneNegativeControls, ACalleeSavedRegisterLeftClobberedIsAFault) {
    for (const char* slice : kSlices) {
        SCOPED_TRACE(slice);
        // The replacement's epilogue no longer restores x19:
        // `ldp x20, x19, [sp, #..]` becomes `ldp x20, xzr, [sp, #..]`.
        const std::string changed = changedCopy(
            slice, kAnnouncementHandler,
            [](const phone::Image&, std::uint64_t, std::uint32_t word) {
                return (word & 0xFFC00000) == 0xA9400000 && ((word >> 10) & 31) == 19 &&
                       ((word >> 5) & 31) == 31;
            },
            [](std::uint32_t word) { return word | (31u << 10); });
        const Outcome outcome = callOn(changed, slice);
        ASSERT_FALSE(outcome.faults.empty());
        EXPECT_NE(outcome.faults[0].find("callee-saved x19"), std::string::npos)
            << outcome.faults[0];
        // The connected call vibrated before the replacement returned; after the
        // crash nothing of the binary runs, so the end is silent.
        EXPECT_EQ(outcome.vibrations.size(), 1u);
        std::remove(changed.c_str());
    }
}

// On arm64e every function pointer the binary hands the platform must be
// signed with key IA and discriminator 0. One left unsigned (its paciza a
// nop) or signed with key IB faults where the platform authenticates it,
// the fault naming the call; the changed file's arm64 slice runs as before.
TEST(PhoneNegativeControls, AFunctionPointerNotSignedWithIAIsAFaultOnArm64e) {
    const struct {
        const char* what;
        const char* target;
        std::uint32_t (*change)(std::uint32_t);
        const char* fault;
        std::size_t vibrations;
    } cases[] = {
        {"an unsigned replacement", "hook_iOS11_SBTelephonyManager_setActiveCall",
         [](std::uint32_t) { return kNop; },
         "the replacement handed to MSHookMessageEx is not signed with key IA", 0},
        {"a replacement signed with key IB", "hook_iOS11_SBTelephonyManager_setActiveCall",
         [](std::uint32_t word) { return word | kPacizbBit; },
         "the replacement handed to MSHookMessageEx is not signed with key IA", 0},
        {"an unsigned notification callback", "PreferencesChangedCallback",
         [](std::uint32_t) { return kNop; },
         "the callback observing " THRUMLINE_PREFS_CHANGED_NOTIFICATION
         " handed to CFNotificationCenterAddObserver is not signed with key IA",
         2},
    };
    const Outcome original = callOn(THRUMLINE_PHONE_ROOTFUL, "arm64");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string changed = changedCopy("arm64e", "", signs(c.target), c.change);
        const Outcome outcome = callOn(changed, "arm64e");
        ASSERT_EQ(outcome.faults.size(), 1u);
        EXPECT_NE(outcome.faults[0].find("pointer authentication failed: " + std::string(c.fault)),
                  std::string::npos)
            << outcome.faults[0];
        EXPECT_EQ(outcome.vibrations.size(), c.vibrations);
        const Outcome arm64 = callOn(changed, "arm64");
        EXPECT_TRUE(arm64.faults.empty());
        EXPECT_EQ(arm64.vibrations, original.vibrations);
        std::remove(changed.c_str());
    }
}

}  // namespace
