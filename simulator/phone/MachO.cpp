#include "simulator/phone/MachO.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace thrumline::phone {

namespace {

constexpr std::uint32_t kMagic64 = 0xFEEDFACF;
constexpr std::uint32_t kFatMagic = 0xCAFEBABE;  // big-endian on disk
constexpr std::uint32_t kCpuArm64 = 0x0100000C;
constexpr std::uint32_t kSubtypeArm64e = 2;
constexpr std::uint32_t kLcSegment64 = 0x19, kLcSymtab = 0x2, kLcDyldInfo = 0x22,
                        kLcDyldInfoOnly = 0x80000022, kLcChainedFixups = 0x80000034;
constexpr std::uint32_t kModInitFuncPointers = 0x9, kInitFuncOffsets = 0x16;

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

class Reader {
public:
    explicit Reader(const std::string& bytes) : b_(bytes) {}
    template <class T>
    T at(std::uint64_t off) const {
        if (off > b_.size() || b_.size() - off < sizeof(T)) refuse("truncated Mach-O file");
        T v;
        std::memcpy(&v, b_.data() + off, sizeof(T));
        return v;
    }
    std::uint32_t be32(std::uint64_t off) const {
        return __builtin_bswap32(at<std::uint32_t>(off));
    }
    std::string name16(std::uint64_t off) const {
        std::string s(b_.data() + off, 16);
        return s.substr(0, s.find('\0'));
    }
    std::string cstr(std::uint64_t off) const {
        if (off >= b_.size()) refuse("truncated Mach-O file");
        const auto end = b_.find('\0', off);
        if (end == std::string::npos) refuse("unterminated string in Mach-O file");
        return b_.substr(off, end - off);
    }

private:
    const std::string& b_;
};

// A stream of dyld-info opcodes.
struct Opcodes {
    const std::string& b;
    std::size_t i, end;
    bool more() const { return i < end; }
    std::uint8_t byte() { return static_cast<std::uint8_t>(b[i++]); }
    std::uint64_t uleb() {
        std::uint64_t v = 0;
        for (int shift = 0; more(); shift += 7) {
            const std::uint8_t c = byte();
            if (shift < 64) v |= std::uint64_t(c & 0x7F) << shift;
            if (c < 0x80) return v;
        }
        refuse("truncated dyld-info opcodes");
    }
    std::int64_t sleb() {
        std::int64_t v = 0;
        int shift = 0;
        std::uint8_t c = 0;
        do {
            if (!more()) refuse("truncated dyld-info opcodes");
            c = byte();
            if (shift < 64) v |= std::int64_t(c & 0x7F) << shift;
            shift += 7;
        } while (c >= 0x80);
        if (shift < 64 && (c & 0x40) != 0) v |= -(std::int64_t(1) << shift);
        return v;
    }
    std::string cstr() {
        const auto stop = b.find('\0', i);
        if (stop == std::string::npos || stop >= end) refuse("truncated dyld-info opcodes");
        std::string s = b.substr(i, stop - i);
        i = stop + 1;
        return s;
    }
};

std::uint64_t segmentStart(const Image& image, unsigned index, std::uint64_t offset) {
    if (index >= image.segments.size()) refuse("a fixup names a segment the image lacks");
    return image.segments[index].vmaddr + offset;
}

void readRebases(Image& image, Opcodes ops) {
    std::uint64_t addr = 0;
    auto rebase = [&](std::uint64_t times, std::uint64_t step) {
        for (std::uint64_t k = 0; k < times; ++k, addr += step)
            image.fixups.push_back({Fixup::Kind::Rebase, addr, {}, 0});
    };
    while (ops.more()) {
        const std::uint8_t b = ops.byte();
        const unsigned op = b & 0xF0, imm = b & 0x0F;
        switch (op) {
            case 0x00:
                return;  // DONE
            case 0x10:   // SET_TYPE_IMM
                if (imm != 1) refuse("rebase type " + std::to_string(imm) + " (only pointers)");
                break;
            case 0x20:
                addr = segmentStart(image, imm, ops.uleb());
                break;
            case 0x30:
                addr += ops.uleb();
                break;
            case 0x40:
                addr += imm * 8ULL;
                break;
            case 0x50:
                rebase(imm, 8);
                break;
            case 0x60:
                rebase(ops.uleb(), 8);
                break;
            case 0x70:
                rebase(1, 8 + ops.uleb());
                break;
            case 0x80: {
                const std::uint64_t times = ops.uleb();
                rebase(times, 8 + ops.uleb());
                break;
            }
            default:
                refuse("unknown rebase opcode " + std::to_string(op >> 4));
        }
    }
}

void readBinds(Image& image, Opcodes ops, Fixup::Kind kind) {
    std::uint64_t addr = 0;
    std::int64_t addend = 0;
    std::string symbol;
    bool strongHere = false;  // weak binds: this image defines the symbol strongly
    auto bind = [&] {
        if (!strongHere) image.fixups.push_back({kind, addr, symbol, addend});
        addr += 8;
    };
    while (ops.more()) {
        const std::uint8_t b = ops.byte();
        const unsigned op = b & 0xF0, imm = b & 0x0F;
        switch (op) {
            case 0x00:  // DONE; the lazy stream is a run of sequences, each ending so
                if (kind != Fixup::Kind::LazyBind) return;
                break;
            case 0x10:
            case 0x30:
                break;  // dylib ordinals: every import is resolved by name
            case 0x20:
                ops.uleb();
                break;
            case 0x40:
                symbol = ops.cstr();
                strongHere = kind == Fixup::Kind::WeakBind && (imm & 0x8) != 0;
                break;
            case 0x50:
                if (imm != 1) refuse("bind type " + std::to_string(imm) + " (only pointers)");
                break;
            case 0x60:
                addend = ops.sleb();
                break;
            case 0x70:
                addr = segmentStart(image, imm, ops.uleb());
                break;
            case 0x80:
                addr += ops.uleb();
                break;
            case 0x90:
                bind();
                break;
            case 0xA0:
                bind();
                addr += ops.uleb();
                break;
            case 0xB0:
                bind();
                addr += imm * 8ULL;
                break;
            case 0xC0: {
                const std::uint64_t times = ops.uleb(), skip = ops.uleb();
                for (std::uint64_t k = 0; k < times; ++k) {
                    bind();
                    addr += skip;
                }
                break;
            }
            case 0xD0:
                refuse("threaded binds (arm64e): not emulated");
            default:
                refuse("unknown bind opcode " + std::to_string(op >> 4));
        }
    }
}

std::string archName(std::uint32_t cputype, std::uint32_t subtype) {
    if (cputype != kCpuArm64) return "other";
    return (subtype & 0xFF) == kSubtypeArm64e ? "arm64e" : "arm64";
}

// The slice of a fat file `slice` names (empty: arm64e when there is one),
// or the file itself when it is thin.
std::string thinSlice(const std::string& bytes, const std::string& slice) {
    const Reader r(bytes);
    if (r.at<std::uint32_t>(0) == kMagic64) {
        const std::string arch = archName(r.at<std::uint32_t>(4), r.at<std::uint32_t>(8));
        if (!slice.empty() && arch != slice) refuse("a thin " + arch + " file has no " + slice);
        return bytes;
    }
    const std::vector<std::string> names = sliceNames(bytes);
    std::string wanted = slice;
    if (wanted.empty()) {
        wanted =
            std::find(names.begin(), names.end(), "arm64e") != names.end() ? "arm64e" : "arm64";
    }
    for (std::uint32_t k = 0; k < names.size(); ++k) {
        if (names[k] != wanted) continue;
        const std::uint64_t arch = 8 + 20ULL * k;
        const std::uint32_t off = r.be32(arch + 8), size = r.be32(arch + 12);
        if (off > bytes.size() || bytes.size() - off < size) refuse("truncated fat file");
        return bytes.substr(off, size);
    }
    refuse("no " + wanted + " slice in the fat file");
}

// DYLD_CHAINED_PTR_64 and DYLD_CHAINED_PTR_64_OFFSET: the formats lld
// writes; in both a chain steps in 4-byte units.
constexpr std::uint16_t kChainedPtr64 = 2, kChainedPtr64Offset = 6;
constexpr std::uint16_t kChainedStartNone = 0xFFFF;
constexpr std::uint32_t kChainedImport = 1;

std::uint64_t fileOffsetOf(const Image& image, std::uint64_t addr) {
    for (const Segment& s : image.segments) {
        if (addr >= s.vmaddr && addr < s.vmaddr + s.filesize) return addr - s.vmaddr + s.fileoff;
    }
    refuse("a chained fixup outside the file's segments");
}

// Reads LC_DYLD_CHAINED_FIXUPS's data at [off, off + size) into fixups, as
// dyld walks it: each segment's pages, each page's chain of pointers.
void readChainedFixups(Image& image, std::uint32_t off, std::uint32_t size) {
    const std::string& bytes = image.bytes;
    const Reader r(bytes);
    if (off > bytes.size() || bytes.size() - off < size || size < 28)
        refuse("chained fixups outside the file");
    const std::uint32_t startsOffset = r.at<std::uint32_t>(off + 4),
                        importsOffset = r.at<std::uint32_t>(off + 8),
                        symbolsOffset = r.at<std::uint32_t>(off + 12),
                        importsCount = r.at<std::uint32_t>(off + 16),
                        importsFormat = r.at<std::uint32_t>(off + 20);
    if (importsFormat != kChainedImport)
        refuse("chained imports of format " + std::to_string(importsFormat) + ": not supported");
    std::vector<std::string> imports;
    for (std::uint32_t k = 0; k < importsCount; ++k) {
        const std::uint32_t entry = r.at<std::uint32_t>(off + importsOffset + 4ULL * k);
        imports.push_back(r.cstr(off + symbolsOffset + (entry >> 9)));
    }
    std::uint64_t base = 0;  // where the image's header is: __TEXT's address
    for (const Segment& s : image.segments) {
        if (s.name == "__TEXT") base = s.vmaddr;
    }
    const std::uint64_t starts = off + std::uint64_t{startsOffset};
    const std::uint32_t segmentCount = r.at<std::uint32_t>(starts);
    for (std::uint32_t seg = 0; seg < segmentCount; ++seg) {
        const std::uint32_t infoOffset = r.at<std::uint32_t>(starts + 4 + 4ULL * seg);
        if (infoOffset == 0) continue;
        const std::uint64_t info = starts + infoOffset;
        const auto pageSize = r.at<std::uint16_t>(info + 4);
        const auto format = r.at<std::uint16_t>(info + 6);
        const auto segmentOffset = r.at<std::uint64_t>(info + 8);
        const auto pageCount = r.at<std::uint16_t>(info + 20);
        if (format != kChainedPtr64 && format != kChainedPtr64Offset) {
            refuse("chained pointer format " + std::to_string(format) +
                   ": not supported (only DYLD_CHAINED_PTR_64 and _64_OFFSET)");
        }
        for (std::uint16_t page = 0; page < pageCount; ++page) {
            const auto start = r.at<std::uint16_t>(info + 22 + 2ULL * page);
            if (start == kChainedStartNone) continue;
            std::uint64_t addr = base + segmentOffset + std::uint64_t{page} * pageSize + start;
            for (;;) {
                const auto word = r.at<std::uint64_t>(fileOffsetOf(image, addr));
                const std::uint64_t next = (word >> 51) & 0xFFF;
                if ((word >> 63) != 0) {
                    const std::uint32_t ordinal = word & 0xFFFFFF;
                    if (ordinal >= imports.size()) refuse("a chained bind past the imports");
                    image.fixups.push_back({Fixup::Kind::Bind, addr, imports[ordinal],
                                            static_cast<std::int64_t>((word >> 24) & 0xFF)});
                } else {
                    Fixup rebase{Fixup::Kind::Rebase, addr, {}, 0};
                    rebase.chained = true;
                    rebase.target = word & 0xFFFFFFFFFULL;
                    if (format == kChainedPtr64Offset) rebase.target += base;
                    rebase.high8 = static_cast<std::uint8_t>((word >> 36) & 0xFF);
                    image.fixups.push_back(rebase);
                }
                if (next == 0) break;
                addr += 4 * next;
            }
        }
    }
}

}  // namespace

const Section* Image::section(const std::string& name) const {
    for (const Section& s : sections) {
        if (s.name == name && (s.segment == "__DATA" || s.segment == "__DATA_CONST")) return &s;
    }
    return nullptr;
}

std::string Image::symbolize(std::uint64_t addr) const {
    auto it = std::upper_bound(symbols.begin(), symbols.end(), addr,
                               [](std::uint64_t a, const Symbol& s) { return a < s.addr; });
    if (it == symbols.begin() || addr >= end()) return {};
    --it;
    char offset[24];
    std::snprintf(offset, sizeof offset, "+0x%llx",
                  static_cast<unsigned long long>(addr - it->addr));
    return it->name + offset;
}

std::uint64_t Image::rebasedPointer(std::uint64_t addr) const {
    for (const Fixup& f : fixups) {
        if (f.kind != Fixup::Kind::Rebase || f.addr != addr) continue;
        if (f.chained) return f.target | std::uint64_t{f.high8} << 56;
        return Reader(bytes).at<std::uint64_t>(fileOffsetOf(*this, addr));
    }
    return 0;
}

std::vector<std::string> sliceNames(const std::string& bytes) {
    const Reader r(bytes);
    if (r.at<std::uint32_t>(0) == kMagic64)
        return {archName(r.at<std::uint32_t>(4), r.at<std::uint32_t>(8))};
    if (r.be32(0) != kFatMagic) refuse("not a 64-bit Mach-O file");
    std::vector<std::string> names;
    for (std::uint32_t k = 0, n = r.be32(4); k < n; ++k)
        names.push_back(archName(r.be32(8 + 20ULL * k), r.be32(12 + 20ULL * k)));
    return names;
}

std::uint64_t Image::end() const {
    std::uint64_t e = 0;
    for (const Segment& s : segments) e = std::max(e, s.vmaddr + s.vmsize);
    return e;
}

Image readImage(const std::string& file, const std::string& slice) {
    Image image;
    image.bytes = thinSlice(file, slice);
    const std::string& bytes = image.bytes;
    const Reader r(bytes);
    if (r.at<std::uint32_t>(0) != kMagic64) refuse("not a 64-bit Mach-O file");
    if (r.at<std::uint32_t>(4) != kCpuArm64) refuse("not an arm64 image");
    image.arm64e = (r.at<std::uint32_t>(8) & 0xFF) == kSubtypeArm64e;
    const std::uint32_t ncmds = r.at<std::uint32_t>(16);
    std::uint32_t info[10] = {};
    bool haveInfo = false;
    std::uint32_t chained[2] = {};
    bool haveChained = false;
    std::uint64_t off = 32;
    for (std::uint32_t k = 0; k < ncmds; ++k) {
        const std::uint32_t cmd = r.at<std::uint32_t>(off), size = r.at<std::uint32_t>(off + 4);
        if (size < 8) refuse("a load command of size " + std::to_string(size));
        if (cmd == kLcSegment64) {
            Segment seg;
            seg.name = r.name16(off + 8);
            seg.vmaddr = r.at<std::uint64_t>(off + 24);
            seg.vmsize = r.at<std::uint64_t>(off + 32);
            seg.fileoff = r.at<std::uint64_t>(off + 40);
            seg.filesize = r.at<std::uint64_t>(off + 48);
            seg.initprot = r.at<std::uint32_t>(off + 60);
            if (seg.fileoff > bytes.size() || bytes.size() - seg.fileoff < seg.filesize)
                refuse("segment " + seg.name + " lies outside the file");
            for (std::uint32_t s = 0, n = r.at<std::uint32_t>(off + 64); s < n; ++s) {
                const std::uint64_t sect = off + 72 + 80ULL * s;
                image.sections.push_back(
                    {r.name16(sect + 16), r.name16(sect), r.at<std::uint64_t>(sect + 32),
                     r.at<std::uint64_t>(sect + 40), r.at<std::uint32_t>(sect + 64)});
            }
            image.segments.push_back(seg);
        } else if (cmd == kLcDyldInfo || cmd == kLcDyldInfoOnly) {
            for (int w = 0; w < 10; ++w) info[w] = r.at<std::uint32_t>(off + 8 + 4 * w);
            haveInfo = true;
        } else if (cmd == kLcChainedFixups) {
            chained[0] = r.at<std::uint32_t>(off + 8);
            chained[1] = r.at<std::uint32_t>(off + 12);
            haveChained = true;
        } else if (cmd == kLcSymtab) {
            const std::uint32_t symoff = r.at<std::uint32_t>(off + 8),
                                nsyms = r.at<std::uint32_t>(off + 12),
                                stroff = r.at<std::uint32_t>(off + 16);
            for (std::uint32_t s = 0; s < nsyms; ++s) {
                const std::uint64_t nl = symoff + 16ULL * s;
                const auto type = r.at<std::uint8_t>(nl + 4);
                const auto value = r.at<std::uint64_t>(nl + 8);
                if ((type & 0xE0) == 0 && (type & 0x0E) == 0x0E && value != 0)
                    image.symbols.push_back({value, r.cstr(stroff + r.at<std::uint32_t>(nl))});
            }
        }
        off += size;
    }
    if (haveInfo == haveChained)
        refuse("expected either dyld-info opcodes or chained fixups (LC_DYLD_CHAINED_FIXUPS)");
    if (haveChained) {
        readChainedFixups(image, chained[0], chained[1]);
    } else {
        auto ops = [&](std::uint32_t o, std::uint32_t n) {
            if (o > bytes.size() || bytes.size() - o < n)
                refuse("dyld-info opcodes outside the file");
            return Opcodes{bytes, o, std::size_t(o) + n};
        };
        readRebases(image, ops(info[0], info[1]));
        readBinds(image, ops(info[2], info[3]), Fixup::Kind::Bind);
        readBinds(image, ops(info[4], info[5]), Fixup::Kind::WeakBind);
        readBinds(image, ops(info[6], info[7]), Fixup::Kind::LazyBind);
    }
    for (const Fixup& f : image.fixups) {
        if (f.kind != Fixup::Kind::Rebase &&
            std::find(image.imports.begin(), image.imports.end(), f.symbol) == image.imports.end())
            image.imports.push_back(f.symbol);
    }
    std::sort(image.symbols.begin(), image.symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.addr < b.addr; });
    for (const Section& s : image.sections) {
        if (s.type() == kModInitFuncPointers) {
            for (std::uint64_t a = 0; a + 8 <= s.size; a += 8)
                image.initialisers.push_back({false, s.addr + a});
        } else if (s.type() == kInitFuncOffsets) {
            for (std::uint64_t a = 0; a + 4 <= s.size; a += 4)
                image.initialisers.push_back({true, s.addr + a});
        }
    }
    return image;
}

}  // namespace thrumline::phone
