// An emulated arm64 CPU (Unicorn) running one Mach-O image, with Apple's
// arm64 calling convention enforced at every border between the image and
// the host: each imported function is a trap stub (svc #0; ret) whose
// handler runs on the host, and each call into the image checks on return
// that the callee-saved registers and the stack pointer are as they were.
//
// For an arm64e image the CPU authenticates pointers: Unicorn's "max" model
// with keys of its own and authentication switched on (by guest code: a
// write from outside leaves it off). The host signs and authenticates with
// key IA and discriminator 0, the convention of every function pointer the
// image and the platform hand each other, on a second CPU with the same
// keys (Unicorn cannot run code from inside a trap), and calls the image's
// function pointers through an authenticating branch, as the platform does.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct uc_struct;

namespace thrumline::phone {

// Something that would crash the home screen: a bad access, a broken
// calling-convention rule, an unmodelled import or message.
struct GuestFault {
    std::string call;       // the function or message, or "arm64" for the CPU itself
    std::string problem;    // what went wrong, and where
    bool recorded = false;  // the model already recorded it as a fault event
};

// What a trap handler hands back in x0.
struct Result {
    enum class Kind { None, Full, Narrow, Jump, Real };
    Kind kind = Kind::None;
    // Narrow: the low 32 bits count; Jump: where to go on; Real: a double's
    // bits, handed back in d0 (x0 then holds nothing)
    std::uint64_t value = 0;
    static Result none() { return {}; }
    static Result full(std::uint64_t v) { return {Kind::Full, v}; }
    static Result narrow(std::uint32_t v) { return {Kind::Narrow, v}; }
    static Result real(double v) {
        Result r{Kind::Real, 0};
        static_assert(sizeof v == sizeof r.value, "a double is 64 bits");
        std::memcpy(&r.value, &v, sizeof v);
        return r;
    }
    // A tail call: the image's code at `pc` runs with the arguments as they are
    // and returns to the trap's caller.
    static Result jump(std::uint64_t pc) { return {Kind::Jump, pc}; }
};

class Cpu {
public:
    using Handler = std::function<Result(Cpu&)>;

    // Guest address space: the image at kImageBase + its addresses; traps,
    // data cells, the heap, objects and the stack in regions of their own,
    // each far from the others so that a stray pointer faults.
    static constexpr std::uint64_t kImageBase = 0x100000000;
    static constexpr std::uint64_t kTrapBase = 0x200000000, kTrapSize = 0x10000;
    static constexpr std::uint64_t kDataBase = 0x210000000, kDataSize = 0x100000;
    static constexpr std::uint64_t kHeapBase = 0x300000000, kHeapSize = 0x1000000;
    static constexpr std::uint64_t kObjectBase = 0x400000000, kObjectSize = 0x4000000;
    static constexpr std::uint64_t kStackBase = 0x700000000, kStackSize = 0x100000;

    explicit Cpu(bool pointerAuthentication = false);
    ~Cpu();
    Cpu(const Cpu&) = delete;
    Cpu& operator=(const Cpu&) = delete;

    void map(std::uint64_t addr, std::uint64_t size, std::uint32_t machProt);
    void write(std::uint64_t addr, const void* bytes, std::size_t size);
    std::uint64_t read64(std::uint64_t addr);
    void write64(std::uint64_t addr, std::uint64_t value);
    std::uint8_t read8(std::uint64_t addr);
    // A C string of the guest; throws GuestFault when unreadable or longer than 4 KiB.
    std::string cString(std::uint64_t addr, const char* call);

    // A zeroed cell in the data region (aligned to 16) and a heap block.
    std::uint64_t allocData(std::size_t size);
    std::uint64_t allocHeap(std::size_t size, const char* call);

    // A new trap stub; calling it runs `handler` as the function `name`.
    std::uint64_t trap(std::string name, Handler handler);
    std::string trapName(std::uint64_t addr) const;  // empty when not a trap

    std::uint64_t arg(int i);  // x0..x7 at a trap
    // A BOOL argument, which the caller must have extended to 32 bits.
    bool boolArg(int i, const char* call);

    // Runs the image's function at `fn` with these arguments to its return
    // and gives x0. Throws GuestFault when it faults, breaks the calling
    // convention, or runs too long.
    std::uint64_t call(std::uint64_t fn, const std::vector<std::uint64_t>& args);
    // The same through an authenticating branch (braaz) when the CPU
    // authenticates: `fn` is a pointer signed with IA and discriminator 0,
    // and one that is not faults, the fault naming `what`.
    std::uint64_t callSigned(std::uint64_t fn, const std::vector<std::uint64_t>& args,
                             const std::string& what);

    // Pointer authentication, key IA and discriminator 0 (arm64e only).
    bool authenticates() const { return signer_ != nullptr; }
    std::uint64_t sign(std::uint64_t pointer);
    // The pointer without its signature when it is signed so, else nothing.
    std::optional<std::uint64_t> authenticate(std::uint64_t pointer);
    bool running() const { return running_; }

    // Names a guest address for fault messages ("symbol+0x10").
    std::function<std::string(std::uint64_t)> symbolize;
    // Adds to `*counter` every instruction run in [begin, end).
    void countInstructions(std::uint64_t begin, std::uint64_t end, std::uint64_t* counter);

    void onTrap(std::uint32_t intno);  // Unicorn's callbacks
    void onBadAccess(int type, std::uint64_t address, int size);
    void onBlock(std::uint32_t size) { *counter_ += size / 4; }

private:
    void stopWith(GuestFault fault);
    std::string where(std::uint64_t pc);
    std::uint64_t run(std::uint64_t start, std::uint64_t fn,
                      const std::vector<std::uint64_t>& args);
    std::uint64_t signer(std::uint32_t instruction, std::uint64_t value);

    uc_struct* uc_ = nullptr;
    uc_struct* signer_ = nullptr;  // the second CPU, with the same keys
    std::uint64_t authCall_ = 0;   // braaz x16, for callSigned
    std::string signedCall_;       // what callSigned is calling, for a fault
    std::vector<std::pair<std::string, Handler>> traps_;
    std::uint64_t dataNext_ = kDataBase, heapNext_ = kHeapBase;
    std::uint64_t returnSentinel_ = 0;
    std::uint64_t* counter_ = nullptr;
    bool running_ = false;
    std::unique_ptr<GuestFault> fault_;
};

}  // namespace thrumline::phone
