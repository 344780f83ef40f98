#!/usr/bin/env python3
"""make_golden.py: writes the golden index fixture: a small history of
realistic message IDs and the .dir and .pag that "dbz build" must make of
it, worked out here from the file formats alone, independently of the
index's code.

    python3 make_golden.py [outdir]     (default: the folder of this script)

What is computed, step by step:
  - the table size: 1.5 times the line count, made odd, then the next
    number that no odd number from 3 up to its square root divides and
    that lies above 37;
  - the tag layout for a history below 2^24 bytes: tag field bits 24-30
    (span 127 at position 24), enable bit 31 (flag 128);
  - each ID's key: the ID and a NUL; folded from its first '@' on (the
    whole key for <postmaster@...>), upper-case ASCII letters only;
  - the hash: sum = (sum >> 7) ^ poly[(sum ^ byte) & 0x7f] over the key's
    bytes, where poly[i] is the exclusive-or of 0x48000000 >> j over the
    bits j of i;
  - the home slot hash % size, the tag ((hash // size) << 24) & field,
    and the first empty slot from home on, wrapping in the table;
  - the slot's 8 bytes: (offset | tag | enable) + 1, little-endian.
"""
import os
import sys

IDS = [
    "<19991231.235959.4711@news.Example.COM>",
    "<postmaster@Example.ORG>",
    "<a1b2c3$d4e@Relay.Uni-Stuttgart.DE>",
    "<87k0x9q7.fsf@host7.Big.ISP.example>",
    "<cancel.19991231.235959.4711@news.Example.COM>",
    "<3F2A1B.8C@MAIL.example.org>",
    "<slrnabc.1k.joe@joe.example.net>",
    "<Pine.LNX.4.44.0203041201.A@shell.example.edu>",
    "<20240101120000.GA123@mx.EXAMPLE.com>",
    "<x@y>",
    "<1234@abc.net>",
    "<ZZ.top@Top.Example>",
]
GROUPS = ["comp.lang.c/1", "news.admin.misc/22", "de.comp.os/333",
          "comp.lang.c/4444 misc.test/5", "control.cancel/6",
          "alt.test/77", "comp.os.linux/888", "comp.mail.pine/9",
          "comp.lang.c/1010", "misc.test/11", "alt.test/12",
          "rec.music/13"]


def picksize(n):
    if n <= 0:
        return 300007
    q = (n // 2) * 3 | 1
    while True:
        if any(q % d == 0 for d in (37, 31, 29, 23, 19, 17, 13, 11, 7, 5, 3)):
            q += 2
            continue
        b = q
        while q // b < b:
            b //= 2
        if 2 * b >= 40 and any(q % d == 0 for d in range(39, 2 * b, 2)):
            q += 2
            continue
        return q


def poly():
    table = []
    for i in range(128):
        v = 0
        for j in range(7):
            if i >> j & 1:
                v ^= 0x48000000 >> j
        table.append(v)
    return table


POLY = poly()


def keyhash(key):
    s = 0
    for b in key:
        s = (s >> 7) ^ POLY[(s ^ b) & 0x7F]
    return s


def fold(key):
    at = key.find(b"@")
    if at < 0:
        return key
    if at == 11 and key[1:11].lower() == b"postmaster":
        at = 0
    return key[:at] + key[at:].lower()


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(
        os.path.abspath(__file__))
    history = b""
    offsets = []
    for i, (mid, grp) in enumerate(zip(IDS, GROUPS)):
        offsets.append(len(history))
        history += ("%s\t%d~-\t%s\n" % (mid, 1700000000 + 3600 * i, grp)).encode()
    assert len(history) < 1 << 24
    size = picksize(len(IDS))
    flag, span, pos = 128, 127, 24
    field, enable = span << pos, flag << pos

    slots = [0] * size
    homes = []
    for mid, off in zip(IDS, offsets):
        key = fold(mid.encode() + b"\0")
        h = keyhash(key)
        tag = ((h // size) << pos) & field
        s = h % size
        homes.append(s)
        for _ in range(100):
            if slots[s] == 0:
                break
            s = (s + 1) % size
        else:
            raise SystemExit("the fixture would spill; choose other IDs")
        slots[s] = (off | tag | enable) + 1
    # The fixture is meant to show a collision resolved by the probe.
    assert len(set(homes)) < len(homes), "no two IDs share a home slot"

    order = " ".join(str(7 - i) for i in range(8))
    zeros = " ".join(["0"] * 11)
    usage = " ".join([str(len(IDS))] + ["0"] * 10)
    dirtext = "dbz 3 %d 9 C %d %d %d 8 %s\n%s\n%s\n" % (
        size, flag, span, pos, order, usage, zeros)
    pag = b"".join(v.to_bytes(8, "little") for v in slots)

    with open(os.path.join(out, "history"), "wb") as f:
        f.write(history)
    with open(os.path.join(out, "history.dir"), "w") as f:
        f.write(dirtext)
    with open(os.path.join(out, "history.pag"), "wb") as f:
        f.write(pag)


if __name__ == "__main__":
    main()
