// Intel HEX: record types 00-05, each line checked by its length byte and
// checksum, data placed through the segment (02) and linear (04) bases.
#include "image/image_file_internal.h"

namespace image_file_internal {

int parse_ihex(Parse *p)
{
    size_t pos = 0;
    uint32_t number = 0;
    uint64_t linear = 0, segment = 0;  // from records 04 and 02
    Line line;
    while (next_line(p, &pos, &number, &line)) {
        if (line.len == 0)
            continue;
        unsigned n = (unsigned)line.number;
        if (line.text[0] != ':')
            return refuse(p, "line %u: not an Intel HEX record (it must start with ':')", n);
        unsigned char b[RECORD_BYTES_MAX];
        int count = decode_hex(p, &line, 1, b);
        if (count < 0)
            return -1;
        if (count < 5 || count != b[0] + 5)
            return refuse(p, "line %u: the record's length byte says %d data bytes, it holds %d",
                          n, count > 0 ? b[0] : 0, count > 5 ? count - 5 : 0);
        unsigned sum = 0;
        for (int i = 0; i < count - 1; i++)
            sum += b[i];
        unsigned want = (0x100 - (sum & 0xFF)) & 0xFF;
        if (b[count - 1] != want)
            return refuse(p, "line %u: bad checksum 0x%02x (the record's bytes need 0x%02x)", n,
                          b[count - 1], want);
        unsigned length = b[0];
        unsigned offset = (unsigned)b[1] << 8 | b[2];
        unsigned type = b[3];
        const unsigned char *data = b + 4;
        if (type > 5)
            return refuse(p, "line %u: record type %02x is not Intel HEX (00-05)", n, type);
        unsigned need = type == 2 || type == 4 ? 2 : type == 3 || type == 5 ? 4 : 0;
        if (type != 0 && length != need)
            return refuse(p, "line %u: a type %02x record holds %u data bytes, not %u", n, type,
                          length, need);
        switch (type) {
        case 0:
            if (offset + length > 0x10000)
                return refuse(p,
                              "line %u: the record runs past the end of its 64 KiB segment "
                              "(offset 0x%04x + %u bytes); where its end lies is ambiguous",
                              n, offset, length);
            if (keep_chunk(p, linear + segment + offset, data, length, line.number) != 0)
                return -1;
            break;
        case 1:
            return nothing_after(p, pos, number, line.number, "end-of-file record");
        case 2:
            segment = (uint64_t)((unsigned)data[0] << 8 | data[1]) << 4;
            break;
        case 4:
            linear = (uint64_t)((unsigned)data[0] << 8 | data[1]) << 16;
            break;
        default:  // 03, 05: the start address, where the program begins; nothing to write
            break;
        }
    }
    return refuse(p, "no end-of-file record (:00000001FF): the file is cut short?");
}

}  // namespace image_file_internal
