#!/usr/bin/env python3
"""Writes the seed corpus of the host fuzzer into host-corpus/ (next to this file).

An input, as fuzz_host.cpp reads it: a 4-byte header (flags, missing-entry mask, load failure
reason), then records, each a tag byte and its fields. The helpers below spell out that encoding.
Every seed is a session the bridge could hold: a valid call and a lookup of every entry point,
new channels and a quit, then the edges a bridge never sends, so the fuzzer starts from inputs
that get past every check of the host.
"""
import os
import struct

CONTROL, CONTROL_RAW, CALL_RAW, CALL, END_CALL, END_CONTROL = range(6)
NO_FD, NEW_CHANNEL_FD, PIPE_FD, CLOSED_PEER_FD, TWO_CHANNELS_FD = range(5)
K_NEW_CHANNEL, K_QUIT = 1, 2
K_CALL, K_LOOKUP = 1, 2

MOST_TEXT = 1 << 20
MOST_WORDS = 1 << 22

# name, integers, texts, words ("none", "to", "from")
ENTRIES = [
    ("Open", 5, 0, "none"), ("Close", 1, 0, "none"), ("RunMode", 2, 0, "none"),
    ("StopMode", 2, 0, "none"), ("DownLoad", 2, 1, "none"), ("RegWrite", 3, 0, "to"),
    ("RegRead", 3, 0, "from"), ("Poke", 0, 3, "none"), ("Request", 0, 2, "none"),
]
INDEX = {name: i for i, (name, *_rest) in enumerate(ENTRIES)}


def header(fails=False, missing=(), reason=0, bridge_gone=False):
    mask = sum(1 << INDEX[name] for name in missing)
    flags = (1 if fails else 0) | (2 if bridge_gone else 0)
    return bytes([flags]) + struct.pack("<H", mask) + bytes([reason])


def control(kind, fd=NEW_CHANNEL_FD, size=8, handle=0):
    return bytes([CONTROL]) + struct.pack("<II", kind, handle) + bytes([fd, 8 - size])


def new_channel():
    return control(K_NEW_CHANNEL)


def quit_host():
    return control(K_QUIT, NO_FD)


def control_raw(data):
    assert len(data) < 256
    return bytes([CONTROL_RAW, len(data)]) + data


def call_raw(data, slot=0):
    return bytes([CALL_RAW, slot]) + struct.pack("<H", len(data)) + data


def request(op, entry, args=(), count=0, texts=(), fill=0x61, cut=0, slot=0):
    args = list(args) + [0] * (5 - len(args))
    texts = list(texts) + [0] * (3 - len(texts))
    # Signed fields go through their bit patterns so that 0xFFFFFFFF and negatives fit alike.
    raw = struct.pack("<II", op, entry) + struct.pack("<5I", *[a & 0xFFFFFFFF for a in args]) \
        + struct.pack("<I", count & 0xFFFFFFFF) + struct.pack("<3I", *texts)
    assert len(raw) == 44
    return bytes([CALL, slot]) + raw + bytes([fill, cut])


def call(name, count=None, texts=None, **kw):
    """A valid call of `name`: its integers, texts of a few bytes, and a few words."""
    _, ints, ntexts, words = ENTRIES[INDEX[name]]
    if texts is None:
        texts = [3 + i for i in range(ntexts)]
    if count is None:
        count = 4 if words != "none" else 0
    return request(K_CALL, INDEX[name], args=range(1, ints + 1), count=count, texts=texts, **kw)


def lookup(name, **kw):
    return request(K_LOOKUP, INDEX[name], **kw)


def end_call(slot=0):
    return bytes([END_CALL, slot])


def end_control():
    return bytes([END_CONTROL])


def every_entry():
    return b"".join(call(name) + lookup(name) for name, *_ in ENTRIES)


SEEDS = {
    "quit": header() + quit_host(),
    "end-of-file": header() + new_channel() + end_control(),
    "load-fails": header(fails=True, reason=20) + new_channel() + call("Open"),
    "load-fails-long-reason": header(fails=True, reason=255),
    "bridge-gone": header(bridge_gone=True) + new_channel(),
    "every-entry": header() + new_channel() + every_entry() + quit_host(),
    "every-entry-missing": header(missing=[n for n, *_ in ENTRIES]) + new_channel()
        + every_entry() + quit_host(),
    "some-missing": header(missing=["RegRead", "Poke"]) + new_channel() + every_entry(),
    "two-channels": header() + new_channel() + new_channel() + call("RegRead", slot=0)
        + call("RegWrite", slot=1) + end_call(0) + call("Request", slot=0) + quit_host(),
    "regwrite-lengths": header() + new_channel() + call("RegWrite", count=0)
        + call("RegWrite", count=1) + call("RegWrite", count=4096, fill=0xFF)
        + call("RegWrite", count=MOST_WORDS)
        + call("RegWrite", count=MOST_WORDS + 1),
    "regread-lengths": header() + new_channel() + call("RegRead", count=0)
        + call("RegRead", count=1) + call("RegRead", count=8193)
        + call("RegRead", count=MOST_WORDS) + call("RegRead", count=-1),
    "texts": header() + new_channel() + call("DownLoad", texts=[0])
        + call("DownLoad", texts=[MOST_TEXT]) + call("Poke", texts=[1, 0, 4096], fill=0)
        + call("Poke", texts=[5, 5, MOST_TEXT + 1]),
    "replies": header() + new_channel() + call("Request", texts=[0, 1])
        + call("Request", texts=[4095, 1]) + call("Request", texts=[4096, 2])
        + call("Request", texts=[4097, 0]) + call("Request", texts=[MOST_TEXT, MOST_TEXT]),
    "over-limits": header() + new_channel() + call("RegRead", count=0xFFFFFFFF) + new_channel()
        + call("RegWrite", count=-2**31, slot=1) + new_channel()
        + call("Open", count=1, slot=2) + new_channel()
        + call("DownLoad", texts=[0xFFFFFFFF], slot=3),
    "unknown-op": header() + new_channel() + request(3, 0) + new_channel()
        + request(0, 1, slot=1) + new_channel() + request(K_LOOKUP, 9, slot=2) + new_channel()
        + request(K_CALL, 0xFFFFFFFF, slot=3),
    "truncated": header() + new_channel() + call("RegWrite", count=100, cut=1) + new_channel()
        + call("Poke", texts=[10, 10, 10], cut=15, slot=1) + new_channel()
        + call_raw(b"\x01\x00\x00", slot=2) + end_call(2) + end_call(0) + end_call(0),
    "control-edges": header() + control(K_NEW_CHANNEL, NO_FD) + control(7, NEW_CHANNEL_FD)
        + control(K_NEW_CHANNEL, PIPE_FD) + control(K_NEW_CHANNEL, CLOSED_PEER_FD)
        + control(0xFFFFFFFF, NO_FD) + control(K_QUIT + 1, PIPE_FD) + new_channel()
        + call("Close") + quit_host() + call("Close"),
    "control-two-descriptors": header() + control(K_NEW_CHANNEL, TWO_CHANNELS_FD) + new_channel()
        + call("RunMode"),
    "control-short": header() + new_channel() + control(K_NEW_CHANNEL, NEW_CHANNEL_FD, size=5)
        + call("StopMode"),
    "control-raw": header() + new_channel()
        + control_raw(struct.pack("<II", K_NEW_CHANNEL, 0) + struct.pack("<II", 9, 1) + b"\x02")
        + call("Open"),
    "quit-with-descriptor": header() + new_channel() + control(K_QUIT, NEW_CHANNEL_FD)
        + call("RegRead"),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host-corpus")
    os.makedirs(out, exist_ok=True)
    for name in os.listdir(out):
        os.remove(os.path.join(out, name))
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
