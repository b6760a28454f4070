#!/usr/bin/env python3
"""Writes the image checksum into a PE file's optional header, as Windows computes it for drivers: the
file's 16-bit words (the checksum field taken as zero) added with end-around carry, plus its length."""
import struct
import sys


def main(path: str) -> None:
    with open(path, "rb") as f:
        data = bytearray(f.read())
    field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
    struct.pack_into("<I", data, field, 0)
    padded = data + b"\0" * (len(data) % 2)
    total = 0
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    struct.pack_into("<I", data, field, (total + len(data)) & 0xFFFFFFFF)
    with open(path, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main(sys.argv[1])
