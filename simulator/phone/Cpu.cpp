#include "simulator/phone/Cpu.h"

#include <unicorn/unicorn.h>

#include <cstdio>
#include <stdexcept>

namespace thrumline::phone {

namespace {

constexpr std::uint32_t kSvcRet[2] = {0xD4000001, 0xD65F03C0};  // svc #0; ret
// Long enough for anything the library does in one call; a runaway loop in
// a changed binary ends as a fault instead of hanging the run.
constexpr std::uint64_t kInstructionLimit = 20000000;
constexpr std::uint64_t kCalleeSaved = 0xC5C5000000000000;  // | register number
constexpr std::uint64_t kScribble = 0xBAD0000000000000;     // | trap slot << 8 | register

// Code of the CPU's own at the top of the trap region, below the traps' reach.
constexpr std::uint64_t kOwnCodeSize = 0x100;
constexpr std::uint64_t kOwnCode = Cpu::kTrapBase + Cpu::kTrapSize - kOwnCodeSize;
// Switches authentication on, as only guest code can: SCTLR_EL1's EnIA,
// EnIB, EnDA and EnDB (bits 31, 30, 27, 13), then isb.
constexpr std::uint32_t kEnableAuthentication[] = {
    0xD5381000,  // mrs x0, sctlr_el1
    0xB2610000,  // orr x0, x0, #0x80000000
    0xB2620000,  // orr x0, x0, #0x40000000
    0xB2650000,  // orr x0, x0, #0x8000000
    0xB2730000,  // orr x0, x0, #0x2000
    0xD5181000,  // msr sctlr_el1, x0
    0xD5033FDF,  // isb
};
constexpr std::uint32_t kBraazX16 = 0xD61F0A1F;
constexpr std::uint32_t kPacizaX0 = 0xDAC123E0, kAutizaX0 = 0xDAC133E0;
// The emulator's keys: any fixed values; what the image must get right is
// which key and discriminator it uses, not the bits a phone would compute.
constexpr std::uint64_t kKeySeed = 0x7468756D6C696E65;  // "thumline"

bool canonical(std::uint64_t pointer) { return pointer >> 47 == 0; }

int regX(int n) {
    if (n <= 28) return UC_ARM64_REG_X0 + n;
    return n == 29 ? UC_ARM64_REG_X29 : UC_ARM64_REG_X30;
}

std::string hex(std::uint64_t v) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(v));
    return text;
}

void check(uc_err err, const char* what) {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
}

void trapCallback(uc_engine*, std::uint32_t intno, void* cpu) {
    static_cast<Cpu*>(cpu)->onTrap(intno);
}
bool badAccessCallback(uc_engine*, uc_mem_type type, std::uint64_t address, int size, std::int64_t,
                       void* cpu) {
    static_cast<Cpu*>(cpu)->onBadAccess(type, address, size);
    return false;
}
void blockCallback(uc_engine*, std::uint64_t, std::uint32_t size, void* cpu) {
    static_cast<Cpu*>(cpu)->onBlock(size);
}

}  // namespace

void setSystemRegister(uc_engine* uc, std::uint32_t op0, std::uint32_t op1, std::uint32_t crn,
                       std::uint32_t crm, std::uint32_t op2, std::uint64_t set) {
    uc_arm64_cp_reg reg{};
    reg.op0 = op0;
    reg.op1 = op1;
    reg.crn = crn;
    reg.crm = crm;
    reg.op2 = op2;
    check(uc_reg_read(uc, UC_ARM64_REG_CP_REG, &reg), "cannot read a system register");
    reg.val |= set;
    check(uc_reg_write(uc, UC_ARM64_REG_CP_REG, &reg), "cannot write a system register");
}

// A CPU that authenticates pointers, with the emulator's keys, its own code
// (kEnableAuthentication then `extra`) mapped at kOwnCode and run once.
uc_engine* authenticatingCpu(const std::vector<std::uint32_t>& extra) {
    uc_engine* uc = nullptr;
    check(uc_open(UC_ARCH_ARM64, UC_MODE_ARM, &uc), "cannot start the arm64 emulator");
    check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM64_MAX), "no pointer authentication in the emulator");
    // APIA, APIB, APDA and APDB, low and high halves: op0 3, op1 0, CRn 2,
    // CRm 1 (instruction keys) or 2 (data keys), op2 0 to 3.
    for (std::uint32_t k = 0; k < 8; ++k) {
        uc_arm64_cp_reg key{};
        key.op0 = 3;
        key.crn = 2;
        key.crm = k < 4 ? 1 : 2;
        key.op2 = k % 4;
        key.val = kKeySeed * (2 * k + 1);
        check(uc_reg_write(uc, UC_ARM64_REG_CP_REG, &key), "cannot set a pointer key");
    }
    // Without these the instructions trap to EL3 and EL2: SCR_EL3's NS, RW,
    // APK and API; HCR_EL2's RW, APK and API.
    setSystemRegister(uc, 3, 6, 1, 1, 0, 1 | 1 << 10 | 1 << 16 | 1 << 17);
    setSystemRegister(uc, 3, 4, 1, 1, 0, 1ULL << 31 | 1ULL << 40 | 1ULL << 41);
    std::vector<std::uint32_t> code(std::begin(kEnableAuthentication),
                                    std::end(kEnableAuthentication));
    const std::uint64_t end = kOwnCode + 4 * code.size();
    code.insert(code.end(), extra.begin(), extra.end());
    check(uc_mem_map(uc, Cpu::kTrapBase, Cpu::kTrapSize, UC_PROT_READ | UC_PROT_EXEC),
          "cannot map memory");
    check(uc_mem_write(uc, kOwnCode, code.data(), 4 * code.size()), "cannot write memory");
    check(uc_emu_start(uc, kOwnCode, end, 0, 0), "cannot switch pointer authentication on");
    return uc;
}

Cpu::Cpu(bool pointerAuthentication) {
    if (pointerAuthentication) {
        uc_ = authenticatingCpu({kBraazX16});
        authCall_ = kOwnCode + sizeof kEnableAuthentication;
        signer_ = authenticatingCpu({kPacizaX0, kAutizaX0});
    } else {
        check(uc_open(UC_ARCH_ARM64, UC_MODE_ARM, &uc_), "cannot start the arm64 emulator");
        map(kTrapBase, kTrapSize, 5);
    }
    map(kDataBase, kDataSize, 3);
    map(kHeapBase, kHeapSize, 3);
    map(kObjectBase, kObjectSize, 3);
    map(kStackBase, kStackSize, 3);
    // Floating point and SIMD on at EL0: the library compares doubles.
    std::uint64_t cpacr = 0;
    uc_reg_read(uc_, UC_ARM64_REG_CPACR_EL1, &cpacr);
    cpacr |= 3 << 20;
    uc_reg_write(uc_, UC_ARM64_REG_CPACR_EL1, &cpacr);
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_INTR, reinterpret_cast<void*>(&trapCallback), this, 1, 0),
          "emulator hook");
    check(uc_hook_add(uc_, &hook, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(&badAccessCallback),
                      this, 1, 0),
          "emulator hook");
    returnSentinel_ = trap("<return to the host>", [](Cpu&) { return Result::none(); });
}

Cpu::~Cpu() {
    uc_close(uc_);
    if (signer_ != nullptr) uc_close(signer_);
}

std::uint64_t Cpu::signer(std::uint32_t instruction, std::uint64_t value) {
    const std::uint64_t at =
        kOwnCode + sizeof kEnableAuthentication + (instruction == kPacizaX0 ? 0 : 4);
    check(uc_reg_write(signer_, UC_ARM64_REG_X0, &value), "signer");
    check(uc_emu_start(signer_, at, at + 4, 0, 1), "signer");
    check(uc_reg_read(signer_, UC_ARM64_REG_X0, &value), "signer");
    return value;
}

std::uint64_t Cpu::sign(std::uint64_t pointer) {
    return signer_ != nullptr && pointer != 0 ? signer(kPacizaX0, pointer) : pointer;
}

std::optional<std::uint64_t> Cpu::authenticate(std::uint64_t pointer) {
    if (signer_ == nullptr || pointer == 0) return pointer;
    const std::uint64_t plain = signer(kAutizaX0, pointer);
    if (!canonical(plain)) return std::nullopt;
    return plain;
}

void Cpu::map(std::uint64_t addr, std::uint64_t size, std::uint32_t machProt) {
    std::uint32_t prot = 0;
    if (machProt & 1) prot |= UC_PROT_READ;
    if (machProt & 2) prot |= UC_PROT_WRITE;
    if (machProt & 4) prot |= UC_PROT_EXEC;
    check(uc_mem_map(uc_, addr, (size + 0xFFF) & ~std::uint64_t(0xFFF), prot), "cannot map memory");
}

void Cpu::write(std::uint64_t addr, const void* bytes, std::size_t size) {
    if (uc_mem_write(uc_, addr, bytes, size) != UC_ERR_OK)
        throw GuestFault{"arm64", "bad memory write at " + hex(addr) + " (EXC_BAD_ACCESS)"};
}

std::uint64_t Cpu::read64(std::uint64_t addr) {
    std::uint64_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 8) != UC_ERR_OK)
        throw GuestFault{"arm64", "bad memory read at " + hex(addr) + " (EXC_BAD_ACCESS)"};
    return v;
}

std::uint8_t Cpu::read8(std::uint64_t addr) {
    std::uint8_t v = 0;
    if (uc_mem_read(uc_, addr, &v, 1) != UC_ERR_OK)
        throw GuestFault{"arm64", "bad memory read at " + hex(addr) + " (EXC_BAD_ACCESS)"};
    return v;
}

void Cpu::write64(std::uint64_t addr, std::uint64_t value) { write(addr, &value, 8); }

std::string Cpu::cString(std::uint64_t addr, const char* call) {
    std::string text;
    for (std::uint64_t a = addr; text.size() < 4096; ++a) {
        char c = 0;
        if (uc_mem_read(uc_, a, &c, 1) != UC_ERR_OK)
            throw GuestFault{call, "a string at unreadable memory " + hex(addr)};
        if (c == '\0') return text;
        text += c;
    }
    throw GuestFault{call, "a string at " + hex(addr) + " longer than 4 KiB"};
}

std::uint64_t Cpu::allocData(std::size_t size) {
    const std::uint64_t a = (dataNext_ + 15) & ~std::uint64_t(15);
    if (a + size > kDataBase + kDataSize) throw std::runtime_error("emulator data region full");
    dataNext_ = a + size;
    return a;
}

std::uint64_t Cpu::allocHeap(std::size_t size, const char* call) {
    const std::uint64_t a = (heapNext_ + 15) & ~std::uint64_t(15);
    if (size > kHeapSize || a + size > kHeapBase + kHeapSize)
        throw GuestFault{call, "the emulated heap is exhausted"};
    heapNext_ = a + (size == 0 ? 1 : size);
    return a;
}

std::uint64_t Cpu::trap(std::string name, Handler handler) {
    const std::uint64_t addr = kTrapBase + 8 * traps_.size();
    if (addr + 8 > kOwnCode) throw std::runtime_error("emulator trap region full");
    write(addr, kSvcRet, sizeof kSvcRet);
    traps_.emplace_back(std::move(name), std::move(handler));
    return addr;
}

std::string Cpu::trapName(std::uint64_t addr) const {
    if (addr < kTrapBase || addr >= kTrapBase + 8 * traps_.size()) return {};
    return traps_[(addr - kTrapBase) / 8].first;
}

std::uint64_t Cpu::arg(int i) {
    std::uint64_t v = 0;
    uc_reg_read(uc_, regX(i), &v);
    return v;
}

bool Cpu::boolArg(int i, const char* call) {
    const std::uint64_t v = arg(i) & 0xFFFFFFFF;
    if (v > 1) {
        throw GuestFault{call, "ABI: BOOL argument " + hex(v) + " in w" + std::to_string(i) +
                                   " not extended to 32 bits by the caller"};
    }
    return v != 0;
}

std::string Cpu::where(std::uint64_t pc) {
    std::string name = trapName(pc);
    if (name.empty() && symbolize) name = symbolize(pc);
    return name.empty() ? hex(pc) : name;
}

void Cpu::stopWith(GuestFault fault) {
    if (!fault_) fault_ = std::make_unique<GuestFault>(std::move(fault));
    uc_emu_stop(uc_);
}

void Cpu::onTrap(std::uint32_t intno) {
    std::uint64_t pc = 0, sp = 0, lr = 0;
    uc_reg_read(uc_, UC_ARM64_REG_PC, &pc);
    uc_reg_read(uc_, UC_ARM64_REG_SP, &sp);
    uc_reg_read(uc_, UC_ARM64_REG_LR, &lr);
    const std::uint64_t slot = (pc - 4 - kTrapBase) / 8;
    // A branch to a pointer that failed authentication: the pointer is
    // poisoned, no longer canonical, and fetching from it aborts.
    if (intno == 3 && signer_ != nullptr && !canonical(pc)) {
        if (lr == returnSentinel_ && !signedCall_.empty()) {
            stopWith({signedCall_, "pointer authentication failed: " + signedCall_ +
                                       " is not signed with key IA and discriminator 0 (a "
                                       "branch to " +
                                       hex(pc) + ")"});
        } else {
            stopWith({"arm64", "pointer authentication failed: a branch to " + hex(pc) +
                                   " (called from " + where(lr - 4) + ")"});
        }
        return;
    }
    if (intno != 2 || pc < kTrapBase + 4 || slot >= traps_.size()) {
        stopWith({"arm64", "CPU exception " + std::to_string(intno) + " at " + where(pc - 4)});
        return;
    }
    const std::string& name = traps_[slot].first;
    const std::string caller = " (called from " + where(lr - 4) + ")";
    Result result;
    try {
        if (sp % 16 != 0)
            throw GuestFault{name, "ABI: stack pointer " + hex(sp) + " not 16-byte aligned"};
        result = traps_[slot].second(*this);
    } catch (GuestFault& fault) {
        if (!fault.recorded) fault.problem += caller;
        stopWith(std::move(fault));
        return;
    } catch (const std::exception& error) {
        stopWith({name,
                  std::string("an exception thrown through the binary: ") + error.what() + caller});
        return;
    } catch (...) {
        stopWith({name, "an exception thrown through the binary" + caller});
        return;
    }
    if (result.kind == Result::Kind::Jump) {
        uc_reg_write(uc_, UC_ARM64_REG_PC, &result.value);
        return;
    }
    // What a real callee may leave behind: every register the caller must
    // not rely on changed (x0 too when there is no result, the upper half of
    // a 32-bit result), x18 (the platform's), the flags and the vector
    // registers but the lower halves of v8-v15.
    const bool inX0 = result.kind == Result::Kind::Full || result.kind == Result::Kind::Narrow;
    for (int r = inX0 ? 1 : 0; r <= 18; ++r) {
        const std::uint64_t v = kScribble | (slot << 8) | std::uint64_t(r);
        uc_reg_write(uc_, regX(r), &v);
    }
    if (inX0) {
        std::uint64_t v = result.value;
        if (result.kind == Result::Kind::Narrow) v = (v & 0xFFFFFFFF) | 0xA5A5A5A500000000;
        uc_reg_write(uc_, UC_ARM64_REG_X0, &v);
    }
    const std::uint64_t nzcv = 0xF0000000 ^ (std::uint64_t(slot & 1) << 30);
    uc_reg_write(uc_, UC_ARM64_REG_NZCV, &nzcv);
    for (int q = 0; q < 32; ++q) {
        std::uint64_t lanes[2] = {kScribble | std::uint64_t(q),
                                  kScribble | 0x100 | std::uint64_t(q)};
        if (q >= 8 && q <= 15) uc_reg_read(uc_, UC_ARM64_REG_D0 + q, &lanes[0]);
        // A double result is d0 alone: the upper half of v0 holds nothing.
        if (q == 0 && result.kind == Result::Kind::Real) lanes[0] = result.value;
        uc_reg_write(uc_, UC_ARM64_REG_Q0 + q, lanes);
    }
}

void Cpu::onBadAccess(int type, std::uint64_t address, int size) {
    std::uint64_t pc = 0;
    uc_reg_read(uc_, UC_ARM64_REG_PC, &pc);
    const char* kind = "read";
    if (type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT) kind = "write";
    if (type == UC_MEM_FETCH_UNMAPPED || type == UC_MEM_FETCH_PROT) kind = "fetch";
    stopWith({"arm64", std::string("bad memory ") + kind + " of " + std::to_string(size) +
                           " bytes at " + hex(address) + " from " + where(pc) +
                           " (EXC_BAD_ACCESS)"});
}

void Cpu::countInstructions(std::uint64_t begin, std::uint64_t end, std::uint64_t* counter) {
    counter_ = counter;
    uc_hook hook;
    check(uc_hook_add(uc_, &hook, UC_HOOK_BLOCK, reinterpret_cast<void*>(&blockCallback), this,
                      begin, end - 1),
          "emulator hook");
}

std::uint64_t Cpu::call(std::uint64_t fn, const std::vector<std::uint64_t>& args) {
    signedCall_.clear();
    return run(fn, fn, args);
}

std::uint64_t Cpu::callSigned(std::uint64_t fn, const std::vector<std::uint64_t>& args,
                              const std::string& what) {
    if (signer_ == nullptr) return call(fn, args);
    signedCall_ = what;
    uc_reg_write(uc_, UC_ARM64_REG_X16, &fn);
    std::uint64_t result = 0;
    try {
        // Named by its address without the signature.
        result = run(authCall_, authenticate(fn).value_or(fn), args);
    } catch (...) {
        signedCall_.clear();
        throw;
    }
    signedCall_.clear();
    return result;
}

std::uint64_t Cpu::run(std::uint64_t start, std::uint64_t fn,
                       const std::vector<std::uint64_t>& args) {
    if (running_) throw GuestFault{"arm64", "a call into the binary while it runs (re-entered)"};
    for (std::size_t i = 0; i < args.size() && i < 8; ++i)
        uc_reg_write(uc_, regX(int(i)), &args[i]);
    const std::uint64_t sp = kStackBase + kStackSize - 0x100;
    uc_reg_write(uc_, UC_ARM64_REG_SP, &sp);
    uc_reg_write(uc_, UC_ARM64_REG_LR, &returnSentinel_);
    for (int r = 19; r <= 29; ++r) {
        const std::uint64_t v = kCalleeSaved | std::uint64_t(r);
        uc_reg_write(uc_, regX(r), &v);
    }
    for (int d = 8; d <= 15; ++d) {
        const std::uint64_t v = kCalleeSaved | 0x100 | std::uint64_t(d);
        uc_reg_write(uc_, UC_ARM64_REG_D0 + d, &v);
    }
    fault_.reset();
    running_ = true;
    const uc_err err = uc_emu_start(uc_, start, returnSentinel_, 0, kInstructionLimit);
    running_ = false;
    std::uint64_t pc = 0;
    uc_reg_read(uc_, UC_ARM64_REG_PC, &pc);
    if (fault_) throw GuestFault(*fault_);
    if (err != UC_ERR_OK)
        throw GuestFault{"arm64", std::string(uc_strerror(err)) + " at " + where(pc)};
    if (pc != returnSentinel_) {
        throw GuestFault{"arm64", "did not return within " + std::to_string(kInstructionLimit) +
                                      " instructions (stopped in " + where(pc) + ")"};
    }
    const std::string callee = where(fn);
    std::uint64_t after = 0;
    uc_reg_read(uc_, UC_ARM64_REG_SP, &after);
    if (after != sp) throw GuestFault{"arm64", "ABI: " + callee + " returned with sp changed"};
    for (int r = 19; r <= 29; ++r) {
        uc_reg_read(uc_, regX(r), &after);
        if (after != (kCalleeSaved | std::uint64_t(r))) {
            throw GuestFault{"arm64", "ABI: " + callee + " returned with callee-saved x" +
                                          std::to_string(r) + " changed"};
        }
    }
    for (int d = 8; d <= 15; ++d) {
        uc_reg_read(uc_, UC_ARM64_REG_D0 + d, &after);
        if (after != (kCalleeSaved | 0x100 | std::uint64_t(d))) {
            throw GuestFault{"arm64", "ABI: " + callee + " returned with callee-saved d" +
                                          std::to_string(d) + " changed"};
        }
    }
    return arg(0);
}

}  // namespace thrumline::phone
