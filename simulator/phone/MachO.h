// Reading an arm64 or arm64e Mach-O dylib as dyld would load it: its
// segments, the pointers dyld writes (rebases and binds, from the dyld-info
// opcodes or the chained fixups), its initialisers and its function symbols.
// Nothing here runs code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace thrumline::phone {

struct Segment {
    std::string name;
    std::uint64_t vmaddr = 0, vmsize = 0, fileoff = 0, filesize = 0;
    std::uint32_t initprot = 0;  // VM_PROT_READ 1, WRITE 2, EXECUTE 4
};

struct Section {
    std::string segment, name;
    std::uint64_t addr = 0, size = 0;
    std::uint32_t flags = 0;
    std::uint32_t type() const { return flags & 0xFF; }
};

// One pointer dyld writes: a rebase adds the load address to the pointer
// there (a chained rebase stores the load address plus its target); a bind
// stores the address of an imported symbol plus the addend.
struct Fixup {
    enum class Kind { Rebase, Bind, LazyBind, WeakBind };
    Kind kind = Kind::Rebase;
    std::uint64_t addr = 0;  // unslid
    std::string symbol;      // binds
    std::int64_t addend = 0;
    bool chained = false;      // rebases: from a chain, whose word holds its target
    std::uint64_t target = 0;  // chained rebases: the unslid target
    std::uint8_t high8 = 0;    // chained rebases: the pointer's top byte
};

struct Symbol {
    std::uint64_t addr = 0;  // unslid
    std::string name;
};

// Where an initialiser's address is: a pointer (S_MOD_INIT_FUNC_POINTERS),
// or a 32-bit offset from the image (S_INIT_FUNC_OFFSETS), to read after
// the fixups are applied.
struct Initialiser {
    bool isOffset = false;
    std::uint64_t at = 0;  // unslid
};

struct Image {
    std::string bytes;    // the image (the slice of a fat file)
    bool arm64e = false;  // pointer authentication: cpusubtype arm64e
    std::vector<Segment> segments;
    std::vector<Section> sections;
    std::vector<Fixup> fixups;
    std::vector<Symbol> symbols;  // defined ones, by address
    std::vector<Initialiser> initialisers;
    std::vector<std::string> imports;  // every symbol a bind names, once, in order

    const Section* section(const std::string& name) const;  // in __DATA or __DATA_CONST
    // "symbol+0x12" for an unslid address inside the image, else empty.
    std::string symbolize(std::uint64_t addr) const;
    // The end of the image's highest segment (unslid).
    std::uint64_t end() const;
    // The unslid pointer a rebase at `addr` leaves there, read from the file
    // and the fixups alone; 0 when no rebase is there.
    std::uint64_t rebasedPointer(std::uint64_t addr) const;
};

// The architectures of a thin or fat Mach-O file: "arm64", "arm64e" or
// "other", in the file's order.
std::vector<std::string> sliceNames(const std::string& bytes);

// Reads a thin image, or one slice of a fat file: `slice` "arm64" or
// "arm64e", or empty for arm64e when the file has it, else arm64. Throws
// std::runtime_error naming what it cannot load (a missing slice, threaded
// binds, a chained-fixup format it does not know, a truncated file).
Image readImage(const std::string& bytes, const std::string& slice = "");

}  // namespace thrumline::phone
