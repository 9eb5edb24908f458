// ELF32 little-endian ARM executables: each PT_LOAD segment's p_filesz bytes,
// placed at its physical (load) address; and the NOLOAD sections that lie
// inside those bytes, noted, as objcopy would leave them out.
#include <string.h>

#include "image/image_file_internal.h"

namespace image_file_internal {
namespace {

uint32_t le16(const unsigned char *b)
{
    return (uint32_t)b[0] | (uint32_t)b[1] << 8;
}

uint32_t le32(const unsigned char *b)
{
    return le16(b) | le16(b + 2) << 16;
}

enum { PHDR_SIZE = 32, SHDR_SIZE = 40, PT_LOAD = 1 };

// Notes the part of the NOBITS section sh that lies in the file bytes of
// the PT_LOAD segment ph (program header record).
void note_noload(Parse *p, const unsigned char *sh, const unsigned char *ph, uint32_t record,
                 const unsigned char *names, size_t names_len)
{
    uint64_t vaddr = le32(ph + 8), filesz = le32(ph + 16);
    uint64_t from = le32(sh + 12), to = from + le32(sh + 20);
    if (from < vaddr)
        from = vaddr;
    if (to > vaddr + filesz)
        to = vaddr + filesz;
    if (from >= to)
        return;
    ImageFile *image = p->image;
    if (image->noload_count == IMAGE_FILE_NOLOAD_NOTES) {
        image->noload_more++;
        return;
    }
    ImageNoload *note = &image->noload[image->noload_count++];
    note->address = (uint32_t)(le32(ph + 12) + (from - vaddr));
    note->size = (uint32_t)(to - from);
    note->record = record;
    const unsigned char *bytes = p->bytes + le32(ph + 4) + (from - vaddr);
    note->fill = bytes[0];
    for (uint32_t i = 1; i < note->size && note->fill >= 0; i++)
        if (bytes[i] != bytes[0])
            note->fill = -1;
    // The name, from the section names' string table: printable ASCII only.
    size_t at = le32(sh), n = 0;
    for (; at < names_len && names[at] != '\0' && n + 1 < sizeof note->section; at++)
        note->section[n++] = names[at] >= 0x20 && names[at] < 0x7f ? (char)names[at] : '?';
    note->section[n] = '\0';
}

// Notes every NOLOAD (allocated, non-TLS SHT_NOBITS) section inside a
// PT_LOAD segment's file bytes. Returns 0, or -1 for section headers that
// lie outside the file or are too many to hold against the segments.
int note_noloads(Parse *p, uint32_t phnum, uint32_t phentsize, uint64_t phoff)
{
    enum { SHT_NOBITS = 8, SHF_ALLOC = 0x2, SHF_TLS = 0x400, PAIRS_MAX = 1 << 20 };
    const unsigned char *b = p->bytes;
    uint64_t shoff = le32(b + 32);
    uint32_t shentsize = le16(b + 46), shnum = le16(b + 48), shstrndx = le16(b + 50);
    if (shoff == 0)
        return 0;  // no section headers: nothing to tell
    if (shnum == 0)
        return refuse(p, "more section headers than the ELF header can count (SHN_XINDEX)");
    if (shentsize < SHDR_SIZE)
        return refuse(p, "section headers of %u bytes, less than 40", (unsigned)shentsize);
    if (shoff + (uint64_t)shnum * shentsize > p->len)
        return refuse(p, "the section headers run past the end of the file (cut short?)");
    if ((uint64_t)shnum * phnum > PAIRS_MAX)
        return refuse(p, "%u section headers and %u program headers: more than can be checked",
                      (unsigned)shnum, (unsigned)phnum);
    const unsigned char *names = NULL;
    size_t names_len = 0;
    if (shstrndx < shnum) {
        const unsigned char *strtab = b + shoff + (uint64_t)shstrndx * shentsize;
        uint64_t offset = le32(strtab + 16), size = le32(strtab + 20);
        if (offset <= p->len) {
            names = b + offset;
            names_len = (size_t)(size < p->len - offset ? size : p->len - offset);
        }
    }
    for (uint32_t s = 0; s < shnum; s++) {
        const unsigned char *sh = b + shoff + (uint64_t)s * shentsize;
        uint32_t flags = le32(sh + 8);
        if (le32(sh + 4) != SHT_NOBITS || !(flags & SHF_ALLOC) || (flags & SHF_TLS) ||
            le32(sh + 20) == 0)
            continue;
        for (uint32_t i = 0; i < phnum; i++) {
            const unsigned char *ph = b + phoff + (uint64_t)i * phentsize;
            if (le32(ph) == PT_LOAD)
                note_noload(p, sh, ph, i, names, names_len);
        }
    }
    return 0;
}

}  // namespace

int parse_elf(Parse *p)
{
    enum { EHDR_SIZE = 52, ET_EXEC = 2, EM_ARM = 40, PN_XNUM = 0xFFFF };
    const unsigned char *b = p->bytes;
    if (p->len < 4 || memcmp(b, "\x7f" "ELF", 4) != 0)
        return refuse(p, "not an ELF file (it does not start with 0x7f 'E' 'L' 'F')");
    if (p->len < EHDR_SIZE)
        return refuse(p, "an ELF file cut short: %u bytes, less than its header", (unsigned)p->len);
    if (b[4] != 1 || b[5] != 1)
        return refuse(p, "not a 32-bit little-endian ELF file (class %u, data %u)", b[4], b[5]);
    if (b[6] != 1 || le32(b + 20) != 1)
        return refuse(p, "unknown ELF version");
    if (le16(b + 18) != EM_ARM)
        return refuse(p, "an ELF file for machine %u, not ARM (40)", (unsigned)le16(b + 18));
    if (le16(b + 16) != ET_EXEC)
        return refuse(p, "ELF type %u, not a linked executable (2)%s", (unsigned)le16(b + 16),
                      le16(b + 16) == 1 ? ": an object file, link it first" : "");
    uint64_t phoff = le32(b + 28);
    uint32_t phentsize = le16(b + 42);
    uint32_t phnum = le16(b + 44);
    if (phnum == 0)
        return refuse(p, "no program headers: nothing to load");
    if (phnum == PN_XNUM)
        return refuse(p, "more program headers than the ELF header can count (PN_XNUM)");
    if (phentsize < PHDR_SIZE)
        return refuse(p, "program headers of %u bytes, less than 32", (unsigned)phentsize);
    if (phoff + (uint64_t)phnum * phentsize > p->len)
        return refuse(p, "the program headers run past the end of the file (cut short?)");
    for (uint32_t i = 0; i < phnum; i++) {
        const unsigned char *ph = b + phoff + (uint64_t)i * phentsize;
        if (le32(ph) != PT_LOAD)
            continue;
        uint64_t offset = le32(ph + 4);
        uint32_t paddr = le32(ph + 12);
        uint32_t filesz = le32(ph + 16);
        uint32_t memsz = le32(ph + 20);
        if (filesz > memsz)
            return refuse(p, "program header %u: %u bytes in the file, more than its %u in memory",
                          (unsigned)i, (unsigned)filesz, (unsigned)memsz);
        if (offset + filesz > p->len)
            return refuse(p, "program header %u: its bytes run past the end of the file (cut "
                          "short?)",
                          (unsigned)i);
        if (keep_chunk(p, paddr, b + offset, filesz, i) != 0)
            return -1;
    }
    return note_noloads(p, phnum, phentsize, phoff);
}

}  // namespace image_file_internal
