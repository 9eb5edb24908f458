// Motorola S-records: S0-S9 (S4 reserved), each line checked by its count
// byte and checksum, the S5/S6 count held against the data records read.
#include "image/image_file_internal.h"

namespace image_file_internal {

int parse_srec(Parse *p)
{
    // Address bytes per record type; S4 is reserved.
    static const int ADDRESS_BYTES[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    size_t pos = 0;
    uint32_t number = 0;
    uint32_t data_records = 0;
    Line line;
    while (next_line(p, &pos, &number, &line)) {
        if (line.len == 0)
            continue;
        unsigned n = (unsigned)line.number;
        if (line.len < 2 || line.text[0] != 'S' || line.text[1] < '0' || line.text[1] > '9')
            return refuse(p, "line %u: not an S-record (it must start with S0 to S9)", n);
        int type = line.text[1] - '0';
        if (type == 4)
            return refuse(p, "line %u: S4 is a reserved record type", n);
        unsigned char b[RECORD_BYTES_MAX];
        int count = decode_hex(p, &line, 2, b);
        if (count < 0)
            return -1;
        int address_bytes = ADDRESS_BYTES[type];
        if (count < 1 || count != b[0] + 1 || b[0] < address_bytes + 1)
            return refuse(p, "line %u: the record's count byte says %d bytes, it holds %d", n,
                          count > 0 ? b[0] : 0, count > 0 ? count - 1 : 0);
        unsigned sum = 0;
        for (int i = 0; i < count - 1; i++)
            sum += b[i];
        unsigned want = ~sum & 0xFF;
        if (b[count - 1] != want)
            return refuse(p, "line %u: bad checksum 0x%02x (the record's bytes need 0x%02x)", n,
                          b[count - 1], want);
        uint64_t address = 0;
        for (int i = 0; i < address_bytes; i++)
            address = address << 8 | b[1 + i];
        const unsigned char *data = b + 1 + address_bytes;
        unsigned length = (unsigned)(count - 2 - address_bytes);
        if (type >= 5 && length != 0)
            return refuse(p, "line %u: an S%d record carries no data, this one has %u bytes", n,
                          type, length);
        switch (type) {
        case 0:
            break;  // the header: a name, nothing to write
        case 1:
        case 2:
        case 3:
            if (keep_chunk(p, address, data, length, line.number) != 0)
                return -1;
            data_records++;
            break;
        case 5:
        case 6:
            if (address != data_records)
                return refuse(p, "line %u: the S%d record counts %llu data records, the file has "
                              "%u before it",
                              n, type, (unsigned long long)address, (unsigned)data_records);
            break;
        default:  // S7, S8, S9: the end, with the start address
            return nothing_after(p, pos, number, line.number, "termination record");
        }
    }
    return refuse(p, "no termination record (S7, S8 or S9): the file is cut short?");
}

}  // namespace image_file_internal
