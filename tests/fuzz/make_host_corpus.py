#!/usr/bin/env python3
"""Writes the seeds of morlane_fuzz_host (tests/fuzz/fuzz_host.cpp) into tests/fuzz/host-corpus:
for every entry point a call as the bridge sends it, in a mailbox of each kind, with and without
a handover, plus a lookup, a missing entry point and requests over each limit."""
import os
import re
import struct

here = os.path.join(os.path.dirname(os.path.abspath(__file__)), "host-corpus")
# Each entry point's integers, texts, and whether it takes words (1) or a reply area (2), read from
# its one declaration in entry/entries.h.
with open(os.path.join(here, "..", "..", "..", "entry", "entries.h")) as table:
    LINES = re.findall(r"X\((\w+), \w+, (\d+), (\d+), (\w+), (\w+)\)", table.read())
SHAPES = [(int(i), int(t), 2 if r == "true" else 0 if w == "None" else 1) for _, i, t, w, r in LINES]
AT = {name: n for n, (name, *_) in enumerate(LINES)}
CALL, LOOKUP, EXTENDED = 1, 2, 3


def seed(name, op, entry, args=(), count=0, texts=(), mode=0, size=0, missing=0, how=0):
    args = (list(args) + [0] * 5)[:5]
    texts = (list(texts) + [0] * 3)[:3]
    request = struct.pack("<II5ii3I", op, entry, *args, count, *texts)
    with open(os.path.join(here, name), "wb") as out:
        out.write(struct.pack("<BI", mode, size) + request + struct.pack("<HB", missing, how))


os.makedirs(here, exist_ok=True)
for old in os.listdir(here):
    os.remove(os.path.join(here, old))
for entry, (ints, texts, extra) in enumerate(SHAPES):
    count = 16 if extra == 1 else 1 if extra == 2 else 0
    lengths = [5 + i for i in range(texts)]
    for mode in range(3):
        seed(f"call-{entry}-mode-{mode}", CALL, entry, range(1, ints + 1), count, lengths, mode,
             size=200, how=1 if mode < 2 else 0)
    seed(f"lookup-{entry}", LOOKUP, entry)
    seed(f"missing-{entry}", CALL, entry, range(ints), count, lengths, missing=1 << entry)
seed("unsealed", CALL, AT["RegRead"], (1, 2, 3), 16, how=3)
seed("size-differs", CALL, AT["RegRead"], (1, 2, 3), 16, how=5)
seed("words-over", CALL, AT["RegWrite"], (1, 2, 3), (1 << 22) + 1, mode=2)
seed("text-over", CALL, AT["DownLoad"], (1, 2), 0, [(1 << 20) + 1])
seed("reply-none", CALL, AT["Request"], (), 0, [1, 1])
seed("entry-over", CALL, len(SHAPES))
seed("op-unknown", 4, 0)
seed("extended-unknown", EXTENDED, 0, (77,), how=1)
