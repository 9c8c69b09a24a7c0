#!/usr/bin/env python3
"""Writes the fuzzers' seed inputs into corpus/<fuzzer>/, each one a short
scenario in the fuzzer's own input encoding (see the comment at the top of
each fuzzer). Crashing inputs kept as regressions sit beside them under
names starting with "regression-"; this script leaves those alone."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(port, ftype, payload, reserved=0):
    return bytes([0x4F, 0x42, 1, port, ftype, reserved]) + struct.pack("<H", len(payload)) + bytes(payload)


def raw(transfer):
    assert len(transfer) <= 80
    return bytes([len(transfer)]) + transfer


# receive_fuzzer: the first byte picks the waiting command (kind = b % 3:
# write, baud rate, purge; port = 2 + (b // 3) % 6), then transfers follow.
GEN_DATA, GEN_ACK, GEN_NAK, GEN_ANNOUNCE = 81, 82, 83, 85
ANNOUNCE = frame(0xFF, 0x7E, [1, 8] + [0] * 10)
receive = {
    "data-for-every-port": bytes([6]) + b"".join(raw(frame(p, 1, range(p, p + 5 * p + 1))) for p in range(8)),
    "write-acked-in-full": bytes([6]) + raw(frame(4, 1, b"abc")) + bytes([GEN_ACK, 0, 1, 0]),
    "baud-rate-nak": bytes([7]) + bytes([GEN_NAK, 0x05]) + bytes([0]),
    "purge-partial-ack": bytes([8]) + raw(frame(4, 0x80, [3, 0, 1, 0])) + bytes([GEN_DATA, 4, 56]) + bytes(range(56)),
    "announce-and-near-frames": bytes([9]) + raw(ANNOUNCE) + raw(ANNOUNCE[:19]) + bytes([GEN_ANNOUNCE, 12, 7])
    + raw(frame(2, 1, [1, 2]) + frame(2, 1, [3])) + raw(frame(2, 1, [9]) + b"\0") + raw(frame(8, 1, [7])),
    "reader-failure-then-data": bytes([3]) + bytes([0xFC]) + raw(frame(0, 1, b"after")) + raw(bytes(70)),
    "wrong-answers": bytes([6]) + raw(frame(2, 0x80, [1, 0, 1, 0])) + raw(frame(4, 0x80, [2, 0, 1, 0]))
    + raw(frame(4, 0x80, [1, 0, 1])) + raw(frame(4, 0xFF, [1])) + raw(frame(4, 0x80, [1, 1, 1, 0])),
}

# control_fuzzer: the first byte picks the port (bit 0: port 3 or port 0);
# each request is a code byte (below 0xB0: 0x1B0000 + 4 * (b % 41)), an input
# length byte and an output length byte (below 0xC0: b % 70), then the input.
def request(function, data=b"", out=0):
    return bytes([function, len(data), out]) + data


def ulong(value):
    return struct.pack("<I", value)


control = {
    "baud-rate-set-and-get": bytes([0]) + request(1, ulong(9600)) + request(20, out=4) + request(1, ulong(299))
    + request(20, out=4) + request(3, bytes([0, 0, 8])),
    "line-control": bytes([0]) + request(3, bytes([1, 4, 5])) + request(21, out=3) + request(3, bytes([2, 2, 7]))
    + request(3, bytes([0, 0])),
    "wait-mask": bytes([0]) + request(17, ulong(1)) + request(16, out=4) + request(18, out=4) + request(18, out=4)
    + request(17, ulong(0x2000)) + request(17, ulong(4)),
    "queries-at-the-edge": bytes([1]) + request(29, out=63) + request(29, out=64) + request(27, out=20)
    + request(26, out=4) + request(22, out=5) + request(24, out=16) + request(30, out=4) + request(8, out=19),
    "timeouts-and-purge": bytes([1]) + request(7, bytes(range(20))) + request(8, out=20) + request(19, ulong(0x0F))
    + request(19, b"\x01\x02") + request(4) + request(5),
    "unsupported": bytes([0]) + request(0) + request(28, out=4) + request(31, ulong(1), 8) + request(40)
    + bytes([0xC0, 0x34, 0x12, 4, 4]) + ulong(0),
}

# operations_fuzzer: each step is a byte, operation = b % 16 on port
# (b >> 4) % 3 of 0, 2, 5, with its arguments after it.
OPEN, CLOSE, READ, WRITE, PURGE, MASK, WAIT, BAUD, CANCEL, COLLECT, FAULT, LINK, SLEEP = 0, 1, 2, 4, 6, 7, 8, 9, 10, 11, 12, 14, 15


def on(port_index, op):
    return bytes([(port_index << 4) | op])


operations = {
    "write-and-read-back": b"".join(on(i, OPEN) + on(i, WRITE) + bytes([5]) + on(i, READ) + bytes([100, 0])
                                    + on(i, COLLECT) + bytes([3]) + on(i, CLOSE) for i in range(3)),
    "events": on(1, OPEN) + on(1, MASK) + bytes([3]) + on(1, WAIT) + on(1, WRITE) + bytes([2]) + on(1, COLLECT)
    + bytes([3]) + on(1, PURGE) + bytes([0x0F]) + on(1, WAIT) + on(1, MASK) + bytes([4]) + on(1, CLOSE),
    "failing-bridge": on(2, OPEN) + on(2, FAULT) + bytes([4, 0]) + on(2, WRITE) + bytes([3]) + on(2, FAULT)
    + bytes([1, 20]) + on(2, WRITE) + bytes([7]) + on(2, FAULT) + bytes([5, 0]) + on(2, WRITE) + bytes([0])
    + on(2, FAULT) + bytes([11, 1]) + on(2, READ) + bytes([50, 0]) + on(2, WRITE) + bytes([1]) + on(2, CLOSE),
    "sleep-with-io-pending": on(0, OPEN) + on(1, OPEN) + on(0, READ) + bytes([10, 0]) + on(1, WRITE) + bytes([8])
    + on(1, SLEEP) + bytes([2]) + on(0, WRITE) + bytes([4]) + on(0, COLLECT) + bytes([3]) + on(1, CANCEL) + bytes([0]),
    "lost-in-reads": on(1, OPEN) + on(1, LINK) + bytes([0x80]) + on(1, WRITE) + bytes([2]) + on(1, READ)
    + bytes([7, 0]) + on(1, CANCEL) + bytes([1]) + on(1, READ) + bytes([200, 0]) + on(1, OPEN) + on(1, BAUD)
    + bytes([2]),
}

# usbip_fuzzer: a control byte (how the stream is cut into reads, write
# faults), then the client's stream, big-endian as USB/IP has it.
DEVID = (1 << 16) | 2


def op(code, status=0):
    return struct.pack(">HHI", 0x0111, code, status)


def busid(text):
    return text.encode() + bytes(32 - len(text))


def submit(seq, direction, ep, length, setup=bytes(8), data=b""):
    return struct.pack(">IIIIIIIIII", 1, seq, DEVID, direction, ep, 0, length, 0, 0xFFFFFFFF, 0) + setup + data


def unlink(seq, target):
    return struct.pack(">IIIIII", 2, seq, DEVID, 0, 0, target) + bytes(24)


def setup(request_type, request, value, index, length):
    return struct.pack("<BBHHH", request_type, request, value, index, length)


imported = op(0x8003) + busid("1-1")
configure = submit(1, 0, 0, 0, setup(0x00, 9, 1, 0, 0))
hello = frame(0xFF, 0x7E, b"")
usbip = {
    "devlist": bytes([0]) + op(0x8005),
    "import-descriptors": bytes([1]) + imported + submit(1, 1, 0, 18, setup(0x80, 6, 0x0100, 0, 18))
    + submit(2, 1, 0, 255, setup(0x80, 6, 0x0200, 0, 255)) + submit(3, 1, 0, 255, setup(0x80, 6, 0x0302, 0x0409, 255)),
    "import-hello-and-data": bytes([2]) + imported + configure + submit(2, 1, 1, 512)
    + submit(3, 0, 2, len(hello), data=hello) + submit(4, 1, 1, 512)
    + submit(5, 0, 2, 12, data=frame(3, 1, b"abcd")) + submit(6, 1, 1, 512),
    "hung-write-unlinked": bytes([4]) + imported + configure + submit(2, 0, 2, 12, data=frame(2, 1, b"wxyz"))
    + submit(3, 0, 2, len(hello), data=hello) + unlink(4, 2) + submit(5, 1, 1, 512) + unlink(6, 5),
    "submit-before-import": bytes([3]) + submit(1, 1, 0, 18, setup(0x80, 6, 0x0100, 0, 18)),
}

for name, seeds in (("receive_fuzzer", receive), ("control_fuzzer", control), ("operations_fuzzer", operations),
                    ("usbip_fuzzer", usbip)):
    folder = os.path.join(HERE, "corpus", name)
    os.makedirs(folder, exist_ok=True)
    for seed, data in seeds.items():
        with open(os.path.join(folder, seed), "wb") as f:
            f.write(data)
