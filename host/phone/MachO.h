// Reading an arm64 Mach-O dylib as dyld would load it: its segments, the
// pointers dyld writes (rebases and binds from the dyld-info opcodes), its
// initialisers and its function symbols. Nothing here runs code.
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
// there; a bind stores the address of an imported symbol plus the addend.
struct Fixup {
    enum class Kind { Rebase, Bind, LazyBind, WeakBind };
    Kind kind = Kind::Rebase;
    std::uint64_t addr = 0;  // unslid
    std::string symbol;      // binds
    std::int64_t addend = 0;
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
    std::string bytes;  // the arm64 image (the slice of a fat file)
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
};

// Reads a thin arm64 image, or the arm64 slice of a fat file. Throws
// std::runtime_error naming what it cannot load (arm64e, chained fixups,
// threaded binds, a truncated file).
Image readImage(const std::string& bytes);

}  // namespace thrumline::phone
