#!/usr/bin/env python3
"""Writes the seed inputs of fuzz_console_rx into corpus_console/ (next to this
script): replies a programmer sends, each in the channel state that expects it.
Record layout: see fuzz_console_rx.cpp."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus_console")

# What a record begins, by its index in the target's table.
DOWNLOAD, AUTO, BLANK, ERASE, PROGRAM, VERIFY, PROTECT, READ_MAIN = range(8)
CHIP_ID, CHIP_INFO, INFO_WRITE, READ_INFO, VERIFY_INFO, AUTO_SN, IDLE, STANDALONE = range(8, 16)


def check16(data):
    c = 0
    for b in data:
        odd = c & 1
        c = ((c >> 1) ^ b ^ (0x4A12 if odd else 0)) & 0xFFFF
    return c


def packet(code, param, payload, n=None):
    n = len(payload) if n is None else n
    p = bytes([code]) + struct.pack("<H", param) + bytes(3) + struct.pack("<H", n) + payload
    return p + struct.pack("<H", check16(p))


def frame(p):
    out = bytearray([0xC0])
    for b in p:
        if b == 0xC0:
            out += b"\xdb\xdc"
        elif b == 0xDB:
            out += b"\xdb\xdd"
        else:
            out.append(b)
    out.append(0xC0)
    return bytes(out)


def record(channel, state=None, online=True, series=3, serial=False, info=False, size=3,
           protect=False, owed=False, data=b""):
    """One record that sets the channel up (when state is given), then as many
    plain records as the data needs (at most 4096 bytes each). With owed, the
    device still owes an answer: the operation waits for it to identify again.
    With serial, 8-byte serial numbers (on-line ones when AUTO_SN begins)."""
    c = channel | (0x04 if state is not None else 0) | (0x08 if online else 0)
    c |= series << 4 | (0x40 if serial else 0) | (0x80 if info else 0)
    f = (state or 0) | size << 4 | (0x80 if protect else 0)
    out = b""
    while True:
        piece, data = data[:4096], data[4096:]
        out += bytes([c, f]) + struct.pack("<H", len(piece) | (0x8000 if owed else 0)) + piece
        if not data:
            return out
        c, f, owed = channel, 0, False


def status(code, param, s):
    return frame(packet(code, param, bytes([s])))


def ident(text):
    payload = bytearray(80)
    payload[20:20 + len(text)] = text
    p = bytearray(packet(0x3D, 0, bytes(payload)))
    p[0:4] = b"\xa3\xa5\x53\x35"
    p[-2:] = struct.pack("<H", check16(p[:-2]))
    return frame(bytes(p))


def progress(step, result=6, cur=0, top=100):
    p = bytearray([0xFD, step, result]) + struct.pack("<HH", cur, top)
    p.append((-sum(p)) & 0xFF)
    return frame(bytes(p))


def seeds():
    verify = bytearray(16)
    yield "verify_ok", record(1, VERIFY, data=frame(packet(0x93, 0x55, bytes(verify))))
    verify[0] = 0x34
    verify[2:4] = b"\x01\x00"
    yield "verify_checksum", record(0, VERIFY, data=frame(packet(0x93, 0x55, bytes(verify))))
    yield "verify_header_only", record(2, VERIFY, data=frame(packet(0x93, 0x55, bytes(16))[:8]))
    block = bytes((i * 7) & 0xFF for i in range(4096))
    yield "read_main", record(0, READ_MAIN, size=1, data=frame(packet(0x9B, 0, block)))
    yield "read_main_bare", record(0, READ_MAIN, data=status(0x9B, 0, 0))
    yield "read_info", record(0, READ_INFO, size=3, data=frame(packet(0x9C, 0, block)))
    apollo = bytes(range(256))
    yield "chip_info_apollo", record(3, CHIP_INFO, series=0, data=frame(packet(0x93, 0x33, apollo)))
    active = bytes((i * 3) & 0xFF for i in range(0x850))
    yield "chip_info_active", record(3, CHIP_INFO, series=1, data=frame(packet(0x93, 0x33, active)))
    yield "search", record(2, IDLE, online=False, data=ident(b"KestraGangA4 V2.3"))
    yield "search_short", record(2, IDLE, online=False, data=ident(b"KestraGangA4")[:48] + b"\xc0")
    yield "standalone", record(1, STANDALONE, data=progress(0x40, cur=0, top=16) + progress(0xF0))
    acks = b"".join(status(0x95, 4 * i, 0) for i in range(4))
    yield "program_split", (record(3, PROGRAM, data=acks[:9]) + record(3, data=acks[9:]))
    yield "blank_not_blank_auto", (record(1, AUTO, data=status(0x93, 5, 0x15)) +
                                   record(1, data=status(0x93, 3, 0)))
    # Auto with on-line serial numbers through its program blocks to the verify.
    yield "auto_serial", record(0, AUTO_SN, serial=True, size=2, data=(
        status(0x93, 5, 0) + status(0x95, 0, 0) + frame(packet(0x93, 0x55, bytes(16)))))
    # A REST's answer comes after the operation that sent it: the next one
    # identifies again first.
    yield "rest_answer_late", (record(2, PROTECT, data=status(0x93, 0x53, 0)) +
                               record(2, VERIFY, data=status(0x86, 0, 0) +
                                      ident(b"KestraGangA4 V2.3") + status(0x93, 0x55, 0x34)))
    run = b"\xc0" + b"\x41" * 9000 + b"\xc0"
    yield "overlong_then_ack", record(0, PROGRAM, data=run + status(0x95, 0, 0))
    # More unframed bytes than the receive buffer keeps, with a frame's head
    # at their end: dropped, and the framing stays in step for the next reply.
    noise = b"\x55" * 15000
    yield "over_keep_limit", record(1, ERASE, data=noise + status(0x93, 3, 0)[:4] +
                                    b"\x55" * 2048 + status(0x93, 3, 0)[4:] + status(0x93, 3, 0))
    # A frame cut short (a device reset in mid-packet), then the next chip's
    # progress; and a run that never closes, then acknowledgements.
    yield "cut_frame_standalone", record(2, STANDALONE, data=b"\xc0\xfd\x41" + progress(0xF0))
    yield "unclosed_run_then_acks", record(0, PROGRAM, data=b"\xc0" + b"\x41" * 8999 + acks)
    # A late reply to a command that timed out, then the identification the
    # channel waits for, then the verify reply its command gets.
    yield "late_reply_reidentify", record(1, VERIFY, owed=True, data=(
        status(0x95, 40, 0) + ident(b"KestraGangA4 V2.3") + frame(packet(0x93, 0x55, bytes(16)))))
    yield "config_download", (record(2, DOWNLOAD, info=True, size=2, data=status(0x53, 0, 0)) +
                              record(2, data=status(0x55, 0, 6)))


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in seeds():
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
