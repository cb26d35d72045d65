#!/usr/bin/env python3
"""Writes the seed corpus of the bridge fuzzer into corpus/ (next to this file).

An input is a list of steps, read front to back by fuzz_bridge.cpp: one opcode byte, then the
bytes of its arguments. The helpers below spell out that encoding; each seed is one short session
that walks one area of the bridge, so the fuzzer starts from inputs that get past the slots and
the simulated PLC's own checks.
"""
import os
import struct

START, FINISH, CV_START, CV_FINISH = 0, 1, 2, 3
OPEN, CLOSE, RUN_MODE, STOP_MODE, DOWN_LOAD = 4, 5, 6, 7, 8
REG_WRITE_VALUE, REG_WRITE_BLOCK, REG_READ_INTO, REG_READ_NEW = 9, 10, 11, 12
CV_POKE, CV_REQUEST = 13, 14
SCRIPT_STATUS, SCRIPT_REPLY, FAIL_HOST, USE_VARIANT = 15, 16, 17, 18

SPECIAL = [0, 1, 2, 3, -1, 7, 8, 31, 32, 100, 101, 110, 111, 255, 256, 257, 4095, 4096, 8191, 8192,
           8193, 8190, 32767, 32768, -32768, 65535, 65536, 70000, 2**31 - 1, -2**31]
SNIPPETS = ["prog.mot", "sim", "state", "stopped", "running", "-1", "ete", "euro", "nul", "clef",
            "topic", "item"]
ENTRIES = ["CVDLLRZ_Open", "CVDLLRZ_Close", "CVDLLRZ_RunMode", "CVDLLRZ_StopMode",
           "CVDLLRZ_DownLoad", "CVDLLRZ_RegWrite", "CVDLLRZ_RegRead", "CVDA_Poke", "CVDA_Request"]
STATUSES = [0, 1, -1, 2, 3, 9, -2**31]
HOSTS = ["GetStringUTFChars", "GetIntArrayElements", "NewIntArray", "NewStringUTF",
         "SetIntArrayRegion"]


def i(value):
    """An integer argument: the smallest encoding that yields it."""
    if 0 <= value < 8:
        return bytes([4 * value])
    if value in SPECIAL:
        return bytes([1, SPECIAL.index(value)])
    if -128 <= value < 128:
        return bytes([2, value & 0xFF])
    return bytes([3]) + struct.pack("<i", value)


def t(value):
    """A text argument: None, a snippet name, ("long", n) or raw bytes."""
    if value is None:
        return bytes([0])
    if value == b"":
        return bytes([1])
    if isinstance(value, str):
        return bytes([2, SNIPPETS.index(value)])
    if isinstance(value, tuple):
        return bytes([3, [259, 260, 4095, 4096, 10000].index(value[1])])
    assert 0 not in value and len(value) < 256
    return bytes([4, len(value)]) + value


def a(values=None, length=None, fill=2):
    """An int[] argument: None for null, a list of values, or a length with a fill pattern
    (1: special values, 2: 0, 1, 2, ...)."""
    if values is None and length is None:
        return bytes([0])
    if values is not None:
        if not values:
            return bytes([1, 0, 0])
        assert 1 <= len(values) <= 16
        return bytes([2, len(values) - 1, 0, 0]) + b"".join(struct.pack("<i", v) for v in values)
    for code, sizes in ((3, [255, 256, 257]), (4, [8191, 8192, 8193])):
        if length in sizes:
            return bytes([code, sizes.index(length), fill, 0])
    return bytes([5, length, fill, 0])


def c(kind, value=0):
    """A count: "all", "none", "over" (one too many), "neg", "min", "max" or ("n", value)."""
    return {"all": b"\x00", "none": b"\x02", "over": b"\x03", "neg": b"\x04\x00\x00",
            "min": b"\x04\x01", "max": b"\x05"}.get(kind) or bytes([7, value])


def status(entry, value):
    return bytes([SCRIPT_STATUS, ENTRIES.index(entry), STATUSES.index(value)])


def reply(kind, size=0, seed=0x41, nul_inside=False):
    """kind: "empty", "short" (size bytes), "full" (4095 bytes), "unterminated" (4096, no NUL)."""
    how = {"empty": 0, "short": 1, "full": 2, "unterminated": 3}[kind] + (4 if nul_inside else 0)
    return bytes([SCRIPT_REPLY, how, size if kind != "full" else 0, seed])


def fail(host, after=0, exception=True):
    return bytes([FAIL_HOST, HOSTS.index(host), after, 1 if exception else 0])


def without(entry):
    """The library that lacks `entry` in place of the full one (while the bridge holds none)."""
    return bytes([USE_VARIANT, ENTRIES.index(entry)])


def op(code, *args):
    return bytes([code]) + b"".join(args)


def open_link(link=0):
    return op(START) + op(OPEN, i(link), i(1), i(0), i(100), i(3))


SEEDS = {
    "before-start": b"".join(op(code, *args) for code, args in [
        (OPEN, [i(0), i(1), i(0), i(100), i(3)]), (CLOSE, [i(0)]), (RUN_MODE, [i(0), i(1)]),
        (STOP_MODE, [i(0), i(1)]), (DOWN_LOAD, [i(0), i(1), t("prog.mot")]),
        (REG_WRITE_VALUE, [i(0), i(0), i(10), i(7)]),
        (REG_WRITE_BLOCK, [i(0), i(0), i(10), a([1, 2, 3]), c("all")]),
        (REG_READ_INTO, [i(0), i(0), i(10), a([9, 9, 9]), c("all")]),
        (REG_READ_NEW, [i(0), i(0), i(10), b"\x03", c("all")]),
        (CV_POKE, [t("topic"), t("item"), t("euro")]), (CV_REQUEST, [t("sim"), t("state")]),
    ]),
    "link-session": open_link() + op(STOP_MODE, i(0), i(1)) + op(DOWN_LOAD, i(0), i(1),
        t("prog.mot")) + op(RUN_MODE, i(0), i(1)) + op(DOWN_LOAD, i(0), i(1), t("clef"))
        + op(OPEN, i(1), i(2), i(2), i(0), i(0)) + op(OPEN, i(2), i(3), i(1), i(0), i(0))
        + op(OPEN, i(3), i(3), i(110), i(0), i(0)) + op(CLOSE, i(0)) + op(CLOSE, i(0))
        + op(FINISH),
    "registers": open_link()
        + op(REG_WRITE_BLOCK, i(0), i(0), i(10), a([65535, -1, 32768, -32768, 65536, 70000]),
             c("all"))
        + op(REG_READ_INTO, i(0), i(0), i(10), a([7, 7, 7, 7, 7, 7, 7, 7]), c("n", 6))
        + op(REG_READ_NEW, i(0), i(0), i(10), b"\x06", c("all"))
        + op(REG_WRITE_VALUE, i(0), i(1), i(4095), i(-1))
        + op(REG_READ_NEW, i(0), i(1), i(4094), b"\x04", c("all"))
        + op(REG_READ_NEW, i(0), i(0), i(8190), b"\x05", c("all"))
        + op(REG_WRITE_BLOCK, i(0), i(0), i(0), a([1]), c("none")),
    "refused": open_link()
        + op(REG_WRITE_BLOCK, i(0), i(0), i(10), a(), c("n", 3))
        + op(REG_WRITE_BLOCK, i(0), i(0), i(10), a([1, 2]), c("over"))
        + op(REG_WRITE_BLOCK, i(0), i(0), i(10), a([1, 2]), c("neg"))
        + op(REG_READ_INTO, i(0), i(0), i(10), a([1, 2]), c("min"))
        + op(REG_READ_INTO, i(0), i(0), i(10), a([1, 2]), c("max"))
        + op(REG_READ_NEW, i(0), i(0), i(10), b"\x00", c("neg"))
        + op(REG_READ_NEW, i(0), i(0), i(10), b"\x00", c("max"))
        + op(DOWN_LOAD, i(0), i(1), t(None)) + op(CV_START)
        + op(CV_POKE, t("topic"), t(None), t("item")) + op(CV_REQUEST, t(None), t("item")),
    "blocks": open_link()
        + op(REG_WRITE_BLOCK, i(0), i(0), i(0), a(length=256, fill=1), c("all"))
        + op(REG_READ_INTO, i(0), i(0), i(0), a(length=257), c("all"))
        + op(REG_WRITE_BLOCK, i(0), i(0), i(0), a(length=8192), c("all"))
        + op(REG_READ_INTO, i(0), i(0), i(1), a(length=8192), c("all"))
        + op(REG_READ_NEW, i(0), i(1), i(0), b"\x00", c("n", 255)),
    "corvane": op(CV_START) + op(CV_POKE, t("topic"), t("item"), t(b"\xc3\xa9t\xc3\xa9"))
        + op(CV_REQUEST, t("topic"), t("item")) + op(CV_REQUEST, t("topic"), t("euro"))
        + op(CV_POKE, t("topic"), t("item"), t(("long", 4095)))
        + op(CV_POKE, t("topic"), t("item"), t(("long", 4096)))
        + op(CV_REQUEST, t("topic"), t("item"))
        + op(CV_POKE, t("sim"), t("state"), t("stopped")) + op(CV_REQUEST, t("sim"), t("state"))
        + op(CV_POKE, t("sim"), t("state"), t("running")) + op(CV_FINISH),
    "replies": op(CV_START) + reply("empty") + op(CV_REQUEST, t("sim"), t("state"))
        + reply("short", 200) + op(CV_REQUEST, t(b"a"), t(b"b"))
        + reply("full") + op(CV_REQUEST, t(b"a"), t(b"b"))
        + reply("unterminated") + op(CV_REQUEST, t(b"a"), t(b"b"))
        + reply("unterminated", 100, nul_inside=True) + op(CV_REQUEST, t(b"a"), t(b"b"))
        + reply("short", 10) + status("CVDA_Request", 0) + op(CV_REQUEST, t(b"a"), t(b"b")),
    "statuses": open_link()
        + status("CVDLLRZ_Close", 1) + op(CLOSE, i(0))
        + status("CVDLLRZ_RunMode", -1) + op(RUN_MODE, i(0), i(1))
        + status("CVDLLRZ_StopMode", 2) + op(STOP_MODE, i(0), i(1))
        + status("CVDLLRZ_DownLoad", 9) + op(DOWN_LOAD, i(0), i(1), t("prog.mot"))
        + status("CVDLLRZ_RegWrite", -2**31) + op(REG_WRITE_VALUE, i(0), i(0), i(1), i(1))
        + status("CVDLLRZ_RegRead", 1) + op(REG_READ_NEW, i(0), i(0), i(1), b"\x01", c("all"))
        + status("CVDLLRZ_Open", 0) + op(OPEN, i(5), i(1), i(7), i(0), i(0)) + op(CV_START)
        + status("CVDA_Poke", 0) + op(CV_POKE, t(b"a"), t(b"b"), t(b"c"))
        + status("CVDA_Poke", 2) + op(CV_POKE, t(b"a"), t(b"b"), t(b"c"))
        + status("CVDA_Request", -1) + op(CV_REQUEST, t(b"a"), t(b"b")),
    "host-failures": op(CV_START)
        + fail("GetStringUTFChars", 1) + op(CV_REQUEST, t(b"a"), t(b"b"))
        + fail("NewStringUTF") + op(CV_REQUEST, t("sim"), t("state"))
        + fail("GetStringUTFChars", 2, exception=False) + op(CV_POKE, t(b"a"), t(b"b"), t(b"c"))
        + open_link()
        + fail("GetIntArrayElements") + op(REG_READ_INTO, i(0), i(0), i(0), a([1]), c("all"))
        + fail("NewIntArray") + op(REG_READ_NEW, i(0), i(0), i(0), b"\x02", c("all"))
        + fail("SetIntArrayRegion") + op(REG_READ_NEW, i(0), i(0), i(0), b"\x02", c("all"))
        + fail("GetStringUTFChars") + op(DOWN_LOAD, i(0), i(1), t("prog.mot")),
    "texts": open_link()
        + op(DOWN_LOAD, i(0), i(1), t("nul")) + op(DOWN_LOAD, i(0), i(1), t(("long", 259)))
        + op(DOWN_LOAD, i(0), i(1), t(("long", 260))) + op(DOWN_LOAD, i(0), i(1), t(b""))
        + op(CV_START) + op(CV_POKE, t("clef"), t("nul"), t(b"\xe2\x82\xac\xed\xa0\xb4"))
        + op(CV_REQUEST, t("clef"), t("nul")),
    "missing-entries": without("CVDLLRZ_RegRead") + open_link()
        + op(REG_WRITE_VALUE, i(0), i(0), i(10), i(5))
        + op(REG_READ_NEW, i(0), i(0), i(10), b"\x01", c("all"))
        + op(REG_READ_INTO, i(0), i(0), i(10), a(), c("all"))
        + without("CVDA_Poke") + op(CV_START) + op(CV_POKE, t("topic"), t("item"), t(None))
        + op(CV_REQUEST, t("sim"), t("state")) + op(FINISH) + op(START)
        + op(REG_READ_NEW, i(0), i(0), i(10), b"\x01", c("all")),
    "lifecycle": op(FINISH) + op(CV_FINISH) + op(START) + op(START) + op(FINISH)
        + op(OPEN, i(0), i(1), i(0), i(0), i(0)) + op(FINISH) + op(CLOSE, i(0))
        + op(CV_START) + op(CV_START) + op(CV_FINISH) + op(CV_REQUEST, t("sim"), t("state"))
        + op(CV_FINISH) + op(CV_REQUEST, t("sim"), t("state")) + op(START)
        + op(REG_READ_NEW, i(0), i(0), i(0), b"\x01", c("all")),
}


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
