// The on-disk structures of a Mach-O file that the reader uses, under the
// names of Apple's <mach-o/loader.h>, <mach-o/nlist.h>, <mach-o/fat.h> and
// <mach-o/fixup-chains.h> (which Debian does not ship). Plain structs in the
// file's little-endian layout (fat headers are big-endian), copied out of
// the file with memcpy after a bounds check; bit fields as accessors.
#pragma once

#include <cstddef>
#include <cstdint>

namespace thrumline::phone::macho {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "a little-endian host reads the file as is");

constexpr std::uint32_t MH_MAGIC_64 = 0xFEEDFACF;
constexpr std::uint32_t FAT_MAGIC = 0xCAFEBABE;
constexpr std::int32_t CPU_TYPE_ARM64 = 0x0100000C;
constexpr std::int32_t CPU_SUBTYPE_ARM64E = 2;
// The capability bits (arm64e's pointer-authentication ABI version).
constexpr std::int32_t CPU_SUBTYPE_MASK = static_cast<std::int32_t>(0xFF000000);

constexpr std::uint32_t LC_SYMTAB = 0x2, LC_SEGMENT_64 = 0x19, LC_DYLD_INFO = 0x22,
                        LC_DYLD_INFO_ONLY = 0x80000022, LC_DYLD_CHAINED_FIXUPS = 0x80000034;
constexpr std::uint32_t S_MOD_INIT_FUNC_POINTERS = 0x9, S_INIT_FUNC_OFFSETS = 0x16;
constexpr std::uint8_t N_STAB = 0xE0, N_TYPE = 0x0E, N_SECT = 0x0E;

struct mach_header_64 {
    std::uint32_t magic;
    std::int32_t cputype, cpusubtype;
    std::uint32_t filetype, ncmds, sizeofcmds, flags, reserved;
};

struct load_command {
    std::uint32_t cmd, cmdsize;
};

struct segment_command_64 {
    std::uint32_t cmd, cmdsize;
    char segname[16];
    std::uint64_t vmaddr, vmsize, fileoff, filesize;
    std::int32_t maxprot, initprot;
    std::uint32_t nsects, flags;
};

struct section_64 {
    char sectname[16], segname[16];
    std::uint64_t addr, size;
    std::uint32_t offset, align, reloff, nreloc, flags, reserved1, reserved2, reserved3;
};

struct symtab_command {
    std::uint32_t cmd, cmdsize, symoff, nsyms, stroff, strsize;
};

struct dyld_info_command {
    std::uint32_t cmd, cmdsize;
    std::uint32_t rebase_off, rebase_size, bind_off, bind_size, weak_bind_off, weak_bind_size,
        lazy_bind_off, lazy_bind_size, export_off, export_size;
};

struct linkedit_data_command {
    std::uint32_t cmd, cmdsize, dataoff, datasize;
};

struct nlist_64 {
    std::uint32_t n_strx;
    std::uint8_t n_type, n_sect;
    std::uint16_t n_desc;
    std::uint64_t n_value;
};

struct fat_header {
    std::uint32_t magic, nfat_arch;
};

struct fat_arch {
    std::int32_t cputype, cpusubtype;
    std::uint32_t offset, size, align;
};

// LC_DYLD_CHAINED_FIXUPS's data.
struct dyld_chained_fixups_header {
    std::uint32_t fixups_version, starts_offset, imports_offset, symbols_offset, imports_count,
        imports_format, symbols_format;
};

// seg_count, then seg_info_offset[seg_count]: each from the start of this
// structure, 0 for a segment without fixups.
struct dyld_chained_starts_in_image {
    std::uint32_t seg_count;
    std::uint32_t seg_info_offset[1];
};

// Then page_start[page_count]: each page's first fixup, or
// DYLD_CHAINED_PTR_START_NONE.
struct dyld_chained_starts_in_segment {
    std::uint32_t size;
    std::uint16_t page_size, pointer_format;
    std::uint64_t segment_offset;
    std::uint32_t max_valid_pointer;
    std::uint16_t page_count;
    std::uint16_t page_start[1];
};

constexpr std::uint32_t DYLD_CHAINED_IMPORT = 1;
constexpr std::uint16_t DYLD_CHAINED_PTR_64 = 2, DYLD_CHAINED_PTR_64_OFFSET = 6;
constexpr std::uint16_t DYLD_CHAINED_PTR_START_NONE = 0xFFFF;

// DYLD_CHAINED_IMPORT: lib_ordinal:8, weak_import:1, name_offset:23.
struct dyld_chained_import {
    std::uint32_t raw;
    std::uint32_t name_offset() const { return raw >> 9; }
};

// A pointer of DYLD_CHAINED_PTR_64 or _64_OFFSET: a rebase (target:36,
// high8:8, reserved:7, next:12, bind:1) or a bind (ordinal:24, addend:8,
// reserved:19, next:12, bind:1). `next` counts 4-byte strides.
struct dyld_chained_ptr_64 {
    std::uint64_t raw;
    bool bind() const { return raw >> 63 != 0; }
    std::uint64_t next() const { return raw >> 51 & 0xFFF; }
    std::uint64_t target() const { return raw & 0xFFFFFFFFF; }
    std::uint8_t high8() const { return raw >> 36 & 0xFF; }
    std::uint32_t ordinal() const { return raw & 0xFFFFFF; }
    std::uint8_t addend() const { return raw >> 24 & 0xFF; }
};

static_assert(sizeof(mach_header_64) == 32 && sizeof(load_command) == 8 &&
                  sizeof(segment_command_64) == 72 && sizeof(section_64) == 80 &&
                  sizeof(symtab_command) == 24 && sizeof(dyld_info_command) == 48 &&
                  sizeof(linkedit_data_command) == 16 && sizeof(nlist_64) == 16 &&
                  sizeof(fat_header) == 8 && sizeof(fat_arch) == 20 &&
                  sizeof(dyld_chained_fixups_header) == 28 &&
                  sizeof(dyld_chained_starts_in_image) == 8 &&
                  sizeof(dyld_chained_starts_in_segment) == 24 &&
                  offsetof(dyld_chained_starts_in_segment, page_start) == 22 &&
                  sizeof(dyld_chained_import) == 4 && sizeof(dyld_chained_ptr_64) == 8,
              "the file's layout");

}  // namespace thrumline::phone::macho
