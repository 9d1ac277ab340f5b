#!/usr/bin/env python3
"""Generates the firmware data that the upgrade tool carries.

The output is a C++ source with the 320-byte key region followed by the
16384-byte firmware image. The image is a readable header text and a
deterministic pseudo-random pattern; its last four bytes are solved so that
the programmer's two check values over the image come out as

    check value 1: 16-bit additive byte sum                          = 0x126E
    check value 2: the link check recurrence over the image's 16-bit
                   little-endian words (one word per firmware word
                   address): c := (c >> 1) ^ w ^ (0x4A12 if c was odd),
                   from 0                                            = 0xCBC2

Over bytes the recurrence never sets bit 15 (a right shift clears it, a byte
and 0x4A12 lack it), so 0xCBC2 is out of its reach; over words it is not.

The check starts from 0 and uses only shifts and XORs, so it is linear over
GF(2) in the input bits: the check of the image is the check of the image
with the last four bytes zero, XOR the checks of each set bit of those bytes
(leading zero words leave it at 0). Sixteen equations in thirty-two unknowns
leave 2^16 candidates, which are searched for the one that also hits the sum.
If no candidate fits, a salt word in the header changes and the search runs
again.

Usage: make_firmware_image.py OUTPUT.cpp      write the source
       make_firmware_image.py --check OUTPUT.cpp  exit 1 unless OUTPUT.cpp is current
"""

import sys

IMAGE_SIZE = 16384
KEY_REGION_SIZE = 320
KEY_BYTES = bytes([0x4A, 0x9C, 0x17, 0xD2, 0xE8, 0x05, 0x73, 0xB1])
TARGET_SUM = 0x126E
TARGET_CHECK = 0xCBC2
FREE_BYTES = 4
HEADER_TEXT = (b"KESTRA GANG A4 PROGRAMMER FIRMWARE - GENERATED TEST PATTERN, "
               b"NOT A WORKING PROGRAM. WORDS 0x2000..0x3FFF.\0")


def firmware_check16(data, c=0):
    """The firmware's check value 2: the same recurrence over 16-bit words."""
    for i in range(0, len(data), 2):
        w = data[i] | (data[i + 1] << 8)
        odd = c & 1
        c = (c >> 1) ^ w
        if odd:
            c ^= 0x4A12
        c &= 0xFFFF
    return c


def sum16(data):
    return sum(data) & 0xFFFF


class XorShift32:
    def __init__(self, seed):
        self.x = seed & 0xFFFFFFFF or 1

    def next_byte(self):
        x = self.x
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.x = x
        return (x >> 24) & 0xFF


def key_region():
    rng = XorShift32(0x4B455931)  # "KEY1"
    rest = bytes(rng.next_byte() for _ in range(KEY_REGION_SIZE - len(KEY_BYTES)))
    return KEY_BYTES + rest


def base_image(salt):
    header = bytearray(HEADER_TEXT)
    header += salt.to_bytes(4, "little")
    rng = XorShift32(0x46574131 ^ salt)  # "FWA1"
    body = bytes(rng.next_byte() for _ in range(IMAGE_SIZE - len(header) - FREE_BYTES))
    return bytes(header) + body


def solve_tail(prefix):
    """Returns the FREE_BYTES tail that hits both targets, or None."""
    # The check of prefix + zero tail, and the effect of each tail bit.
    c0 = firmware_check16(prefix + bytes(FREE_BYTES))
    columns = []
    for bit in range(8 * FREE_BYTES):
        tail = bytearray(FREE_BYTES)
        tail[bit // 8] = 1 << (bit % 8)
        columns.append(firmware_check16(tail))
    target = TARGET_CHECK ^ c0
    # Gaussian elimination over GF(2): rows are the 16 check bits, the
    # unknowns are the 32 tail bits (held as an int mask per row).
    rows = []
    for r in range(16):
        mask = 0
        for bit, col in enumerate(columns):
            if (col >> r) & 1:
                mask |= 1 << bit
        rows.append([mask, (target >> r) & 1])
    pivots = []
    rank = 0
    for bit in range(8 * FREE_BYTES):
        pr = next((i for i in range(rank, 16) if (rows[i][0] >> bit) & 1), None)
        if pr is None:
            continue
        rows[rank], rows[pr] = rows[pr], rows[rank]
        for i in range(16):
            if i != rank and (rows[i][0] >> bit) & 1:
                rows[i][0] ^= rows[rank][0]
                rows[i][1] ^= rows[rank][1]
        pivots.append(bit)
        rank += 1
    if any(m == 0 and v for m, v in rows[rank:]):
        return None
    free = [b for b in range(8 * FREE_BYTES) if b not in pivots]
    need = (TARGET_SUM - sum16(prefix)) & 0xFFFF
    if need > 255 * FREE_BYTES:
        return None
    for combo in range(1 << len(free)):
        x = 0
        for i, b in enumerate(free):
            if (combo >> i) & 1:
                x |= 1 << b
        for i, bit in enumerate(pivots):
            v = rows[i][1] ^ (bin(rows[i][0] & x).count("1") & 1)
            if v:
                x |= 1 << bit
        tail = x.to_bytes(FREE_BYTES, "little")
        if sum(tail) == need:
            return tail
    return None


def make_image():
    for salt in range(1 << 16):
        prefix = base_image(salt)
        if (TARGET_SUM - sum16(prefix)) & 0xFFFF > 255 * FREE_BYTES:
            continue
        tail = solve_tail(prefix)
        if tail is not None:
            image = prefix + tail
            assert len(image) == IMAGE_SIZE
            assert sum16(image) == TARGET_SUM and firmware_check16(image) == TARGET_CHECK
            return image
    raise SystemExit("no image found")


def hex_rows(data, indent="    "):
    lines = []
    for i in range(0, len(data), 16):
        lines.append(indent + ", ".join("0x%02X" % b for b in data[i:i + 16]) + ",")
    return "\n".join(lines)


def render():
    key = key_region()
    image = make_image()
    return (
        "// Generated by tools/firmware/make_firmware_image.py; do not edit.\n"
        "// Image check values: byte sum 0x%04X, word-wise link check 0x%04X.\n"
        "#include \"upgrade/FirmwareImage.h\"\n\n"
        "namespace kestra::upgrade {\n\n"
        "// clang-format off\n"
        "const FirmwareData KestraGangA4_RV7 = {\n"
        "  {\n%s\n  },\n"
        "  {\n%s\n  },\n"
        "};\n"
        "// clang-format on\n\n"
        "}  // namespace kestra::upgrade\n"
    ) % (sum16(image), firmware_check16(image), hex_rows(key), hex_rows(image))


def main(argv):
    if len(argv) == 3 and argv[1] == "--check":
        with open(argv[2], encoding="utf-8") as f:
            current = f.read()
        if current != render():
            print("%s is not what the generator makes" % argv[2])
            return 1
        return 0
    if len(argv) != 2:
        print(__doc__)
        return 2
    with open(argv[1], "w", encoding="utf-8") as f:
        f.write(render())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
