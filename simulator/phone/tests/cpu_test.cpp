// The CPU wrapper on its own, on hand-assembled guest code: a call hands
// over its arguments and gives back x0, a trap stub runs its handler
// between guest instructions, and a callee that leaves a callee-saved
// register changed is a fault naming the rule. On both CPUs: the plain one
// and the one that authenticates pointers (arm64e).
#include "simulator/phone/Cpu.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace thrumline::phone {
namespace {

constexpr std::uint32_t kRet = 0xD65F03C0;
// x1(x0) + 1: a call through a pointer, as the binary calls an import.
const std::vector<std::uint32_t> kCallTrapPlusOne = {
    0xA9BF7BFD,  // stp x29, x30, [sp, #-16]!
    0xD63F0020,  // blr x1
    0x91000400,  // add x0, x0, #1
    0xA8C17BFD,  // ldp x29, x30, [sp], #16
    kRet,
};

// `code` at the image's address, readable and executable.
std::uint64_t load(Cpu& cpu, const std::vector<std::uint32_t>& code) {
    cpu.map(Cpu::kImageBase, 0x1000, 5);
    cpu.write(Cpu::kImageBase, code.data(), 4 * code.size());
    return Cpu::kImageBase;
}

TEST(Cpu, ACallHandsOverItsArgumentsAndGivesBackX0) {
    for (const bool authenticates : {false, true}) {
        SCOPED_TRACE(authenticates ? "arm64e" : "arm64");
        Cpu cpu(authenticates);
        const std::uint64_t add = load(cpu, {0x8B010000 /* add x0, x0, x1 */, kRet});
        EXPECT_EQ(cpu.call(add, {40, 2}), 42u);
        EXPECT_EQ(cpu.call(add, {0xFFFFFFFF00000000, 0x1234}), 0xFFFFFFFF00001234u);
    }
}

TEST(Cpu, ATrapRunsItsHandlerAndTheGuestGoesOnWithItsResult) {
    for (const bool authenticates : {false, true}) {
        SCOPED_TRACE(authenticates ? "arm64e" : "arm64");
        Cpu cpu(authenticates);
        std::vector<std::uint64_t> seen;
        const std::uint64_t times6 = cpu.trap("times6", [&seen](Cpu& c) {
            seen.push_back(c.arg(0));
            return Result::full(c.arg(0) * 6);
        });
        const std::uint64_t fn = load(cpu, kCallTrapPlusOne);
        EXPECT_EQ(cpu.call(fn, {7, times6}), 43u);
        EXPECT_EQ(seen, std::vector<std::uint64_t>{7});
    }
}

TEST(Cpu, ACalleeSavedRegisterLeftChangedIsAFaultNamingTheRule) {
    for (const bool authenticates : {false, true}) {
        SCOPED_TRACE(authenticates ? "arm64e" : "arm64");
        Cpu cpu(authenticates);
        const std::uint64_t fn = load(cpu, {0xD2800033 /* mov x19, #1 */, kRet, kRet});
        try {
            cpu.call(fn, {});
            ADD_FAILURE() << "no fault";
        } catch (const GuestFault& fault) {
            EXPECT_EQ(fault.call, "arm64");
            EXPECT_EQ(fault.problem, "ABI: 0x100000000 returned with callee-saved x19 changed");
        }
        // The CPU runs on: the next call starts from the rule's values again.
        EXPECT_EQ(cpu.call(fn + 8, {5}), 5u);
    }
}

}  // namespace
}  // namespace thrumline::phone
