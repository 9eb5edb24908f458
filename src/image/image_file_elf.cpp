// ELF32 little-endian ARM executables: each PT_LOAD segment's p_filesz bytes,
// placed at its physical (load) address.
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

}  // namespace

int parse_elf(Parse *p)
{
    enum { EHDR_SIZE = 52, PHDR_SIZE = 32, ET_EXEC = 2, EM_ARM = 40, PT_LOAD = 1, PN_XNUM = 0xFFFF };
    const unsigned char *b = p->bytes;
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
    return 0;
}

}  // namespace image_file_internal
