#!/usr/bin/env python3
"""Writes the sample object files of this folder: Intel HEX images with a
recognisable pattern (address-derived bytes, a text banner at the start).

  pac52_32k.hex     32 KB at 0x00000000, for a PAC52xx chip (32 KB flash)
  apollo512_512k.hex 512 KB at 0x00000000, for an APOLLO512 chip
"""
import os
import sys


def record(addr, rtype, data):
    body = bytes([len(data), (addr >> 8) & 0xFF, addr & 0xFF, rtype]) + bytes(data)
    check = (-sum(body)) & 0xFF
    return ":" + (body + bytes([check])).hex().upper() + "\n"


def image(size, banner):
    data = bytearray((i * 7 + (i >> 8)) & 0xFF for i in range(size))
    data[: len(banner)] = banner
    return data


def write_hex(path, data, base=0):
    out = []
    upper = None
    for off in range(0, len(data), 16):
        addr = base + off
        if addr >> 16 != upper:
            upper = addr >> 16
            out.append(record(0, 0x04, [(upper >> 8) & 0xFF, upper & 0xFF]))
        out.append(record(addr & 0xFFFF, 0x00, data[off:off + 16]))
    out.append(record(0, 0x01, []))
    with open(path, "w", newline="\r\n") as f:
        f.write("".join(out).replace("\n", "\n"))


def main():
    here = os.path.dirname(os.path.abspath(sys.argv[0]))
    write_hex(os.path.join(here, "pac52_32k.hex"), image(32 * 1024, b"KestraGangA4 sample PAC52 32K"))
    write_hex(os.path.join(here, "apollo512_512k.hex"),
              image(512 * 1024, b"KestraGangA4 sample APOLLO512 512K"))


if __name__ == "__main__":
    main()
