#!/usr/bin/env python3
"""Sets the class field of a dialog template in a compiled .res file.

windres stores the CLASS of a DIALOGEX in upper case whatever the script
says; the main dialog's template carries its class name in lower case, as
the script writes it. This puts the name back, in place (same length).

Usage: set-dialog-class.py RESFILE DIALOG_NAME CLASS_NAME
"""
import struct
import sys

RT_DIALOG = 5


def read_id(data, pos):
    """A name or ordinal field of a .res header: (value, next position)."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        (ordinal,) = struct.unpack_from("<H", data, pos + 2)
        return ordinal, pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def skip_sz_or_ord(data, pos):
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0x0000:
        return pos + 2
    if first == 0xFFFF:
        return pos + 4
    while struct.unpack_from("<H", data, pos)[0] != 0:
        pos += 2
    return pos + 2


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    path, dialog_name, class_name = sys.argv[1:]
    data = bytearray(open(path, "rb").read())
    pos = 0
    while pos + 8 <= len(data):
        data_size, header_size = struct.unpack_from("<II", data, pos)
        rtype, after = read_id(data, pos + 8)
        name, _ = read_id(data, after)
        body = pos + header_size
        if rtype == RT_DIALOG and isinstance(name, str) and name.upper() == dialog_name.upper():
            version, signature = struct.unpack_from("<HH", data, body)
            if (version, signature) != (1, 0xFFFF):
                sys.exit(f"{path}: dialog {name} is not a DIALOGEX template")
            field = skip_sz_or_ord(data, body + 26)  # fixed header, then the menu
            old, end = read_id(data, field)
            if not isinstance(old, str) or old.upper() != class_name.upper():
                sys.exit(f"{path}: dialog {name} has class {old!r}, not {class_name!r}")
            data[field:end - 2] = class_name.encode("utf-16-le")
            open(path, "wb").write(data)
            return
        pos = (body + data_size + 3) & ~3
    sys.exit(f"{path}: no dialog named {dialog_name}")


if __name__ == "__main__":
    main()
