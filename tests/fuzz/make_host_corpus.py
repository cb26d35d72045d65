#!/usr/bin/env python3
"""Writes the seed corpus of the host fuzzer into host-corpus/ (next to this file).

An input, as fuzz_host.cpp reads it: a 4-byte header (flags, missing-entry mask, load failure
reason), then records, each a tag byte and its fields. The helpers below spell out that encoding.
The seeds start the fuzzer from requests that get past every check of the host: a valid call and
a lookup of every entry point, in a mailbox of the standard size and in one of exactly the size
the call needs, both handed straight to the host's serving code and posted in a mailbox it serves;
new mailboxes, sound and not, and a quit; then the edges a bridge never sends.
"""
import os
import struct

DIRECT, CONTROL, CONTROL_RAW, SERVED, END_SERVED, END_CONTROL = range(6)
SIZE_STANDARD, SIZE_NEED, SIZE_ANY = range(3)
NO_FD, MAILBOX_FD, UNSEALED_FD, PIPE_FD, TWO_MAILBOXES_FD, GROW_SEALED_FD = range(6)
CLOSED, DEAD, ZERO = range(3)
K_NEW_CHANNEL, K_QUIT = 1, 2
K_CALL, K_LOOKUP = 1, 2

MOST_TEXT = 1 << 20
MOST_WORDS = 1 << 22
DATA_OFFSET = 64
MAILBOX_BYTES = 64 * 1024
REPLY_BYTES = 4096
MOST_MAILBOX = DATA_OFFSET + 3 * (MOST_TEXT + 1) + 8 + 2 * MOST_WORDS

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


def u32(value):
    return struct.pack("<I", value & 0xFFFFFFFF)


def raw_request(op, entry, args=(), count=0, texts=()):
    args = list(args) + [0] * (5 - len(args))
    texts = list(texts) + [0] * (3 - len(texts))
    # Signed fields go through their bit patterns so that 0xFFFFFFFF and negatives fit alike.
    raw = u32(op) + u32(entry) + b"".join(u32(a) for a in args) + u32(count) \
        + b"".join(u32(t) for t in texts)
    assert len(raw) == 44
    return raw


def call_request(name, count=None, texts=None, args=None):
    """A valid call of `name`: its integers, texts of a few bytes, and a few words."""
    _, ints, ntexts, words = ENTRIES[INDEX[name]]
    if texts is None:
        texts = [3 + i for i in range(ntexts)]
    if count is None:
        count = 4 if words != "none" else 0
    if args is None:
        args = range(1, ints + 1)
    return raw_request(K_CALL, INDEX[name], args=args, count=count, texts=texts)


def lookup_request(name):
    return raw_request(K_LOOKUP, INDEX[name])


def direct(raw, mode=SIZE_STANDARD, size=0, fill=0x61):
    """A request handed straight to serve_request in a mailbox of the harness's own."""
    return bytes([DIRECT, mode]) + u32(size) + raw + bytes([fill])


def exact(raw, delta=0, fill=0x61):
    """In a mailbox of exactly what the request needs, plus `delta` bytes."""
    return direct(raw, SIZE_NEED, delta & 0xFF, fill)


def served(raw, slot=0, fill=0x61, sleep=False):
    """Posted in a served mailbox; with `sleep` the bridge's side sleeps on the turn at once."""
    return bytes([SERVED, slot | (0x80 if sleep else 0)]) + raw + bytes([fill])


def control(kind, fd=MAILBOX_FD, size=0, claim=0, cut=0):
    return bytes([CONTROL]) + u32(kind) + u32(size) + u32(claim) + bytes([fd, cut])


def new_mailbox(**kw):
    return control(K_NEW_CHANNEL, **kw)


def quit_host():
    return control(K_QUIT, NO_FD)


def control_raw(data):
    assert len(data) < 256
    return bytes([CONTROL_RAW, len(data)]) + data


def end_served(slot=0, how=CLOSED):
    return bytes([END_SERVED, slot, how])


def end_control():
    return bytes([END_CONTROL])


def every_entry(place):
    return b"".join(place(call_request(name)) + place(lookup_request(name)) for name, *_ in ENTRIES)


SEEDS = {
    "direct-every-entry": header() + every_entry(direct),
    "direct-every-entry-exact": header() + every_entry(exact),
    "direct-every-entry-missing": header(missing=[n for n, *_ in ENTRIES]) + every_entry(direct),
    "direct-one-short": header() + every_entry(lambda raw: exact(raw, -1)),
    "direct-regwrite-lengths": header() + b"".join(
        exact(call_request("RegWrite", count=c)) for c in (0, 1, 4096, MOST_WORDS))
        + b"".join(direct(call_request("RegWrite", count=c))
                   for c in (32768, MOST_WORDS + 1, -1, 0x80000000)),
    "direct-regread-lengths": header() + b"".join(
        exact(call_request("RegRead", count=c)) for c in (0, 1, 7, 8, 8193, MOST_WORDS))
        + direct(call_request("RegRead", count=0x7FFFFFFF)) + direct(call_request("RegRead", count=-1)),
    "direct-texts": header() + exact(call_request("DownLoad", texts=[0]))
        + exact(call_request("DownLoad", texts=[MOST_TEXT]))
        + exact(call_request("DownLoad", texts=[MOST_TEXT + 1]))
        + exact(call_request("Poke", texts=[1, 0, 4096]), fill=0)
        + exact(call_request("Poke", texts=[MOST_TEXT, MOST_TEXT, MOST_TEXT]))
        + direct(call_request("Poke", texts=[5, 5, 0xFFFFFFFF]), SIZE_ANY, MOST_MAILBOX),
    "direct-replies": header() + b"".join(
        exact(call_request("Request", texts=[t, 1])) for t in (0, 1, 4095, 4096, 4097, 8193))
        + exact(call_request("Request", texts=[5, 0])) + direct(call_request("Request", texts=[0, 0]))
        + exact(call_request("Request", texts=[MOST_TEXT, MOST_TEXT])),
    "direct-malformed": header() + direct(raw_request(3, 0)) + direct(raw_request(0, 1))
        + direct(raw_request(K_LOOKUP, 9)) + direct(raw_request(K_CALL, 0xFFFFFFFF))
        + direct(call_request("Open", count=1)) + direct(call_request("Close", texts=[1]))
        + direct(call_request("RegRead", texts=[0, 0, 2]))
        + direct(raw_request(K_LOOKUP, 8, count=-1, texts=[1, 2, 3]))
        + direct(call_request("Open", args=[-1, 0x7FFFFFFF, -2**31, 5, 6]), SIZE_ANY, 0),
    "quit": header() + quit_host(),
    "end-of-file": header() + new_mailbox() + end_control(),
    "load-fails": header(fails=True, reason=20) + new_mailbox() + served(call_request("Open")),
    "load-fails-long-reason": header(fails=True, reason=255),
    "bridge-gone": header(bridge_gone=True) + new_mailbox(),
    "served-every-entry": header() + new_mailbox() + every_entry(served) + quit_host(),
    "served-sleeping": header() + new_mailbox()
        + every_entry(lambda raw: served(raw, sleep=True)) + end_control(),
    "served-every-entry-missing": header(missing=[n for n, *_ in ENTRIES]) + new_mailbox()
        + every_entry(served) + quit_host(),
    "served-some-missing": header(missing=["RegRead", "Poke"]) + new_mailbox()
        + every_entry(served),
    "served-exact": header() + new_mailbox(size=DATA_OFFSET + 2 * 8193)
        + served(call_request("RegRead", count=8193)) + served(call_request("RegRead", count=8194))
        + new_mailbox(size=DATA_OFFSET + 2 * 4096 - 1, claim=1)
        + served(call_request("RegWrite", count=4096), slot=1),
    "served-two": header() + new_mailbox() + new_mailbox() + served(call_request("RegRead"), 0)
        + served(call_request("RegWrite"), 1, sleep=True) + end_served(0) + served(call_request("Request"), 0)
        + end_served(0, DEAD) + quit_host(),
    "served-ends": header() + new_mailbox() + new_mailbox() + new_mailbox()
        + end_served(0, ZERO) + end_served(0, DEAD) + end_served(0, CLOSED)
        + new_mailbox() + served(call_request("Close")) + end_control(),
    "mailbox-claims": header() + new_mailbox(claim=1) + new_mailbox(claim=-1)
        + new_mailbox(claim=0xFFFFFFFF) + new_mailbox(size=DATA_OFFSET - 1)
        + new_mailbox(size=DATA_OFFSET) + new_mailbox(size=MOST_MAILBOX)
        + new_mailbox(size=MOST_MAILBOX + 1) + new_mailbox(size=1, claim=MAILBOX_BYTES - 1)
        + served(call_request("StopMode")),
    "mailbox-descriptors": header() + new_mailbox(fd=NO_FD) + new_mailbox(fd=UNSEALED_FD)
        + new_mailbox(fd=PIPE_FD) + new_mailbox(fd=TWO_MAILBOXES_FD)
        + new_mailbox(fd=GROW_SEALED_FD) + new_mailbox() + served(call_request("RunMode")),
    "control-kinds": header() + control(7) + control(0xFFFFFFFF, NO_FD) + control(K_QUIT + 1, PIPE_FD)
        + control(0, UNSEALED_FD) + new_mailbox() + served(call_request("Close")) + quit_host()
        + served(call_request("Close")),
    "control-short": header() + new_mailbox() + new_mailbox(cut=5) + served(call_request("StopMode")),
    "control-short-no-fd": header() + control(K_NEW_CHANNEL, NO_FD, cut=1),
    "control-raw": header() + new_mailbox()
        + control_raw(u32(K_NEW_CHANNEL) + u32(0) * 3 + u32(9) + u32(1) * 3 + b"\x02")
        + served(call_request("Open")),
    "control-raw-quit": header() + control_raw(u32(K_NEW_CHANNEL) + u32(0) * 3 + u32(K_QUIT)
                                               + u32(0) * 3 + u32(K_NEW_CHANNEL)),
    "quit-with-descriptor": header() + new_mailbox() + control(K_QUIT, MAILBOX_FD)
        + served(call_request("RegRead")),
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
