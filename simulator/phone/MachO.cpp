#include "simulator/phone/MachO.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "simulator/phone/MachOFormat.h"

namespace thrumline::phone {

using namespace macho;

namespace {

[[noreturn]] void refuse(const std::string& why) { throw std::runtime_error(why); }

class Reader {
public:
    explicit Reader(const std::string& bytes) : b_(bytes) {}
    // A structure of the file, copied out: the file's bytes need not be aligned.
    template <class T>
    T at(std::uint64_t off) const {
        if (off > b_.size() || b_.size() - off < sizeof(T)) refuse("truncated Mach-O file");
        T v;
        std::memcpy(&v, b_.data() + off, sizeof(T));
        return v;
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

// A fat file's fields are big-endian.
std::uint32_t big(std::uint32_t v) { return __builtin_bswap32(v); }

// A segment's or section's name: 16 bytes, NUL-terminated when shorter.
std::string nameOf(const char (&name)[16]) {
    return std::string(name, std::find(name, name + 16, '\0'));
}

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

std::string archName(std::int32_t cputype, std::int32_t cpusubtype) {
    if (cputype != CPU_TYPE_ARM64) return "other";
    return (cpusubtype & ~CPU_SUBTYPE_MASK) == CPU_SUBTYPE_ARM64E ? "arm64e" : "arm64";
}

// The `k`th slice's entry of a fat file, in the host's byte order.
fat_arch fatArch(const Reader& r, std::uint32_t k) {
    fat_arch arch = r.at<fat_arch>(sizeof(fat_header) + std::uint64_t{sizeof(fat_arch)} * k);
    arch.cputype = static_cast<std::int32_t>(big(arch.cputype));
    arch.cpusubtype = static_cast<std::int32_t>(big(arch.cpusubtype));
    arch.offset = big(arch.offset);
    arch.size = big(arch.size);
    return arch;
}

// The slice of a fat file `slice` names (empty: arm64e when there is one),
// or the file itself when it is thin.
std::string thinSlice(const std::string& bytes, const std::string& slice) {
    const Reader r(bytes);
    if (r.at<std::uint32_t>(0) == MH_MAGIC_64) {
        const auto header = r.at<mach_header_64>(0);
        const std::string arch = archName(header.cputype, header.cpusubtype);
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
        const fat_arch arch = fatArch(r, k);
        if (arch.offset > bytes.size() || bytes.size() - arch.offset < arch.size)
            refuse("truncated fat file");
        return bytes.substr(arch.offset, arch.size);
    }
    refuse("no " + wanted + " slice in the fat file");
}

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
    if (off > bytes.size() || bytes.size() - off < size ||
        size < sizeof(dyld_chained_fixups_header))
        refuse("chained fixups outside the file");
    const auto header = r.at<dyld_chained_fixups_header>(off);
    if (header.imports_format != DYLD_CHAINED_IMPORT) {
        refuse("chained imports of format " + std::to_string(header.imports_format) +
               ": not supported");
    }
    std::vector<std::string> imports;
    for (std::uint32_t k = 0; k < header.imports_count; ++k) {
        const auto entry = r.at<dyld_chained_import>(off + std::uint64_t{header.imports_offset} +
                                                     sizeof(dyld_chained_import) * k);
        imports.push_back(r.cstr(off + std::uint64_t{header.symbols_offset} + entry.name_offset()));
    }
    std::uint64_t base = 0;  // where the image's header is: __TEXT's address
    for (const Segment& s : image.segments) {
        if (s.name == "__TEXT") base = s.vmaddr;
    }
    const std::uint64_t starts = off + std::uint64_t{header.starts_offset};
    const auto segCount = r.at<std::uint32_t>(starts);
    for (std::uint32_t seg = 0; seg < segCount; ++seg) {
        const auto infoOffset = r.at<std::uint32_t>(
            starts + offsetof(dyld_chained_starts_in_image, seg_info_offset) + 4ULL * seg);
        if (infoOffset == 0) continue;
        const std::uint64_t info = starts + infoOffset;
        const auto segment = r.at<dyld_chained_starts_in_segment>(info);
        const std::uint16_t format = segment.pointer_format;
        if (format != DYLD_CHAINED_PTR_64 && format != DYLD_CHAINED_PTR_64_OFFSET) {
            refuse("chained pointer format " + std::to_string(format) +
                   ": not supported (only DYLD_CHAINED_PTR_64 and _64_OFFSET)");
        }
        for (std::uint16_t page = 0; page < segment.page_count; ++page) {
            const auto start = r.at<std::uint16_t>(
                info + offsetof(dyld_chained_starts_in_segment, page_start) + 2ULL * page);
            if (start == DYLD_CHAINED_PTR_START_NONE) continue;
            std::uint64_t addr =
                base + segment.segment_offset + std::uint64_t{page} * segment.page_size + start;
            for (;;) {
                const auto pointer = r.at<dyld_chained_ptr_64>(fileOffsetOf(image, addr));
                if (pointer.bind()) {
                    if (pointer.ordinal() >= imports.size())
                        refuse("a chained bind past the imports");
                    image.fixups.push_back({Fixup::Kind::Bind, addr, imports[pointer.ordinal()],
                                            std::int64_t{pointer.addend()}});
                } else {
                    Fixup rebase{Fixup::Kind::Rebase, addr, {}, 0};
                    rebase.chained = true;
                    rebase.target = pointer.target();
                    if (format == DYLD_CHAINED_PTR_64_OFFSET) rebase.target += base;
                    rebase.high8 = pointer.high8();
                    image.fixups.push_back(rebase);
                }
                if (pointer.next() == 0) break;
                addr += 4 * pointer.next();
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
    if (r.at<std::uint32_t>(0) == MH_MAGIC_64) {
        const auto header = r.at<mach_header_64>(0);
        return {archName(header.cputype, header.cpusubtype)};
    }
    if (big(r.at<std::uint32_t>(0)) != FAT_MAGIC) refuse("not a 64-bit Mach-O file");
    std::vector<std::string> names;
    for (std::uint32_t k = 0, n = big(r.at<fat_header>(0).nfat_arch); k < n; ++k) {
        const fat_arch arch = fatArch(r, k);
        names.push_back(archName(arch.cputype, arch.cpusubtype));
    }
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
    if (r.at<std::uint32_t>(0) != MH_MAGIC_64) refuse("not a 64-bit Mach-O file");
    const auto header = r.at<mach_header_64>(0);
    if (header.cputype != CPU_TYPE_ARM64) refuse("not an arm64 image");
    image.arm64e = (header.cpusubtype & ~CPU_SUBTYPE_MASK) == CPU_SUBTYPE_ARM64E;
    dyld_info_command info{};
    linkedit_data_command chained{};
    bool haveInfo = false, haveChained = false;
    std::uint64_t off = sizeof(mach_header_64);
    for (std::uint32_t k = 0; k < header.ncmds; ++k) {
        const auto command = r.at<load_command>(off);
        if (command.cmdsize < sizeof(load_command))
            refuse("a load command of size " + std::to_string(command.cmdsize));
        if (command.cmd == LC_SEGMENT_64) {
            const auto segment = r.at<segment_command_64>(off);
            Segment seg;
            seg.name = nameOf(segment.segname);
            seg.vmaddr = segment.vmaddr;
            seg.vmsize = segment.vmsize;
            seg.fileoff = segment.fileoff;
            seg.filesize = segment.filesize;
            seg.initprot = static_cast<std::uint32_t>(segment.initprot);
            if (seg.fileoff > bytes.size() || bytes.size() - seg.fileoff < seg.filesize)
                refuse("segment " + seg.name + " lies outside the file");
            for (std::uint32_t s = 0; s < segment.nsects; ++s) {
                const auto sect = r.at<section_64>(off + sizeof(segment_command_64) +
                                                   std::uint64_t{sizeof(section_64)} * s);
                image.sections.push_back({nameOf(sect.segname), nameOf(sect.sectname), sect.addr,
                                          sect.size, sect.flags});
            }
            image.segments.push_back(seg);
        } else if (command.cmd == LC_DYLD_INFO || command.cmd == LC_DYLD_INFO_ONLY) {
            info = r.at<dyld_info_command>(off);
            haveInfo = true;
        } else if (command.cmd == LC_DYLD_CHAINED_FIXUPS) {
            chained = r.at<linkedit_data_command>(off);
            haveChained = true;
        } else if (command.cmd == LC_SYMTAB) {
            const auto symtab = r.at<symtab_command>(off);
            for (std::uint32_t s = 0; s < symtab.nsyms; ++s) {
                const auto nl = r.at<nlist_64>(symtab.symoff + std::uint64_t{sizeof(nlist_64)} * s);
                // Defined in a section, not a debugging entry.
                if ((nl.n_type & N_STAB) == 0 && (nl.n_type & N_TYPE) == N_SECT && nl.n_value != 0)
                    image.symbols.push_back(
                        {nl.n_value, r.cstr(std::uint64_t{symtab.stroff} + nl.n_strx)});
            }
        }
        off += command.cmdsize;
    }
    if (haveInfo == haveChained)
        refuse("expected either dyld-info opcodes or chained fixups (LC_DYLD_CHAINED_FIXUPS)");
    if (haveChained) {
        readChainedFixups(image, chained.dataoff, chained.datasize);
    } else {
        auto ops = [&](std::uint32_t o, std::uint32_t n) {
            if (o > bytes.size() || bytes.size() - o < n)
                refuse("dyld-info opcodes outside the file");
            return Opcodes{bytes, o, std::size_t(o) + n};
        };
        readRebases(image, ops(info.rebase_off, info.rebase_size));
        readBinds(image, ops(info.bind_off, info.bind_size), Fixup::Kind::Bind);
        readBinds(image, ops(info.weak_bind_off, info.weak_bind_size), Fixup::Kind::WeakBind);
        readBinds(image, ops(info.lazy_bind_off, info.lazy_bind_size), Fixup::Kind::LazyBind);
    }
    for (const Fixup& f : image.fixups) {
        if (f.kind != Fixup::Kind::Rebase &&
            std::find(image.imports.begin(), image.imports.end(), f.symbol) == image.imports.end())
            image.imports.push_back(f.symbol);
    }
    std::sort(image.symbols.begin(), image.symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.addr < b.addr; });
    for (const Section& s : image.sections) {
        if (s.type() == S_MOD_INIT_FUNC_POINTERS) {
            for (std::uint64_t a = 0; a + 8 <= s.size; a += 8)
                image.initialisers.push_back({false, s.addr + a});
        } else if (s.type() == S_INIT_FUNC_OFFSETS) {
            for (std::uint64_t a = 0; a + 4 <= s.size; a += 4)
                image.initialisers.push_back({true, s.addr + a});
        }
    }
    return image;
}

}  // namespace thrumline::phone
