#!/usr/bin/env python3
"""seeds.py: writes the seed corpora of the fuzz targets into fuzz/corpus.

Usage: fuzz/seeds.py BUILD_BIN_DIR

The seeds are small, realistic files: .dir texts as the writer makes them
and as operators hand-edit them, and indexes that `dbz build` made from a
short history, laid out in each target's input format (see the comment at
the top of each fuzz_NAME.cc). The corpus is kept in the tree; run this
again only to change it.
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ZEROS = "0 0 0 0 0 0 0 0 0 0 0\n"
LE = "7 6 5 4 3 2 1 0"
BE = "0 1 2 3 4 5 6 7"
HISTORY = (b"<a1@x.org>\t1700000000~-\tcomp.lang.c/1 misc.test/2\n"
           b"<Bb2@Y.ORG>\t1700000001~-\n"
           b"<postmaster@Z.net>\t1700000002~-\tnews.admin/3\n"
           b"<cancel.a1@x.org>\t1700000003~-\n")


def dirtext(size=31, sep=9, case="C", tags="128 124 24", order=LE,
            usage=ZEROS, untagged=ZEROS):
    return (f"dbz 3 {size} {sep} {case} {tags} 8 {order}\n"
            f"{usage}{untagged}").encode()


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


def built_index(dbz, history, *create):
    """The .dir, .pag and history of an index that dbz build filled."""
    with tempfile.TemporaryDirectory() as t:
        h = os.path.join(t, "history")
        with open(h, "wb") as f:
            f.write(history)
        if create:
            subprocess.run([dbz, "create", *create, h], check=True)
        else:
            subprocess.run([dbz, "build", "-q", h], check=True)
        return tuple(open(h + s, "rb").read() for s in (".dir", ".pag", ""))


def dir_seeds(dbz):
    seeds = {
        "default": dirtext(300007),
        "small": dirtext(31),
        "bigendian": dirtext(order=BE),
        "notags": dirtext(tags="0 0 24"),
        "foldall": dirtext(case="="),
        "nofold": dirtext(case="0"),
        "sep255": dirtext(sep=-1),
        "twolines": dirtext().rsplit(b"\n", 2)[0] + b"\n",
        "tail": dirtext() + b"dbz 3 old tail\n",
        "counts": dirtext(usage="12 4 0 0 0 0 0 0 0 0 99\n",
                          untagged="3 0 0 0 0 0 0 0 0 0 1\n"),
        "spaces": b"dbz  3  31 9  C 128 124 24 8 " + LE.encode() + b"\n" +
                  ZEROS.encode() * 2,
        "built": built_index(dbz, HISTORY)[0],
    }
    for name, text in seeds.items():
        write("dir", name, b"\0" + text)
    # An empty .dir beside slots: a legacy index.
    write("dir", "legacy", b"\x08" + b"\x01" * 8)
    write("dir", "empty", b"\0")


def index_input(settings, d, p, b, ops):
    return (bytes([settings]) + struct.pack("<HHH", len(d), len(p), len(b)) +
            d + p + b + ops)


def key(body):
    return bytes([len(body)]) + body


def index_seeds(dbz):
    ids = [b"<a1@x.org>", b"<Bb2@Y.ORG>", b"<postmaster@Z.net>", b"<new@x>"]
    # store, lookup, flush, reopen in-core, check all, close
    ops = (b"\x01" + key(ids[3]) + b"\x00" + key(ids[3]) + b"\x00" +
           key(ids[0]) + b"\x04" + b"\x07\x01" + b"\x0c" + b"\x06")
    lookups = b"".join(b"\x00" + key(i) for i in ids)
    d, p, b = built_index(dbz, HISTORY)
    write("index", "built", index_input(5, d, p, b, lookups + ops))
    write("index", "built-file", index_input(4, d, p, b, lookups + ops))
    write("index", "writethru", index_input(7, d, p, b, ops + lookups))
    d, p, b = built_index(dbz, b"", "-s", "13")
    write("index", "fresh", index_input(5, d, p, b, ops * 3))
    write("index", "deferred", index_input(1, d, p, b"", ops))
    d, p, b = built_index(dbz, b"", "-s", "7", "-t", "1", "-C", "=")
    write("index", "notags", index_input(5, d, p, b, ops))
    write("index", "bigendian",
          index_input(5, dirtext(13, order=BE), b"", b"", ops))
    write("index", "legacy",
          index_input(4, b"", b"\x00" * 64 + b"\x01\0\0\0\0\0\0\0", HISTORY,
                      lookups + ops))
    # Damage behind the index: cut the .pag, then look up again.
    d, p, b = built_index(dbz, HISTORY)
    write("index", "damaged",
          index_input(5, d, p, b, lookups + b"\x0a\x00\x08\x00" + lookups))
    # Values of the input's choice: tag-enable bit, all ones, a short one.
    vals = b"".join(b"\x09" + key(ids[3]) + struct.pack(">q", v)
                    for v in (1000, 1 << 31, -1, 1 << 26, 1 << 32))
    write("index", "values", index_input(5, dirtext(13), b"", b"", vals))


def history_seeds():
    # repeat count - 1, blocks of 'x' before the body, body
    write("history", "lines", b"\0\0" + HISTORY)
    write("history", "nonewline", b"\0\0" + HISTORY.rstrip(b"\n"))
    write("history", "empty", b"\0\0")
    write("history", "blanks", b"\0\0\n\n<a@b>\n\n")
    write("history", "nuls", b"\0\0<a\0b@c>\t1~-\tx/1\n\0\n")
    write("history", "crlf", b"\0\0<a@b>\t1~-\r\n<c@d>\t2~-\r\n")
    write("history", "longline", b"\0\x28" + HISTORY)
    write("history", "chunks", b"\x3f\x7f" + HISTORY)


def quorlin_input(options, history, stdin, logformat=None):
    head = bytes([options | (16 if logformat is not None else 0)])
    if logformat is not None:
        head += bytes([len(logformat)]) + logformat
    return head + struct.pack("<H", len(history)) + history + stdin


def quorlin_seeds():
    ids = (b"<a1@x.org>\n<new@x>\n<BB2@Y.ORG>\n<postmaster@z.NET> and more\n"
           b"<Bb2@Y.ORG>\tx\n")
    bad = b"\n <a@b>\n<\n<a@b\na@b>\n<>\n" + b"<" + b"x" * 9990 + b">\n<last@x>"
    locs = (b"<loc@x>\t1~-\tx.y/1 z/2\tq.r/3\n<two@x>\t\tx.y/1\n"
            b"<blank@x>\t1 2~-\tx/1\n<up@x>\t1~-\t../etc/passwd /abs .hidden\n")
    write("quorlin", "report", quorlin_input(1, HISTORY, ids))
    write("quorlin", "descriptor", quorlin_input(0, HISTORY, ids))
    write("quorlin", "cancelids", quorlin_input(2, HISTORY, ids + ids))
    write("quorlin", "norecord", quorlin_input(5, HISTORY, ids))
    write("quorlin", "file", quorlin_input(8, HISTORY, ids))
    write("quorlin", "badlines", quorlin_input(1, HISTORY, bad))
    write("quorlin", "locations",
          quorlin_input(0, locs, b"<loc@x>\n<two@x>\n<blank@x>\n<up@x>\n"))
    write("quorlin", "longhistory",
          quorlin_input(0, b"<long@x>\t1~-\t" + b"a.b/1 " * 2000 + b"\n",
                        b"<long@x>\n"))
    write("quorlin", "torn", quorlin_input(0, HISTORY + b"<torn@x>\t1", ids))
    write("quorlin", "format",
          quorlin_input(3, HISTORY, ids, b"x+y#z+"))
    write("quorlin", "noformat", quorlin_input(0, HISTORY, ids, b""))


def main():
    if len(sys.argv) != 2:
        sys.exit("usage: seeds.py BUILD_BIN_DIR")
    dbz = os.path.join(sys.argv[1], "dbz")
    for target in ("dir", "index", "history", "quorlin"):
        shutil.rmtree(os.path.join(HERE, "corpus", target), ignore_errors=True)
    dir_seeds(dbz)
    index_seeds(dbz)
    history_seeds()
    quorlin_seeds()


if __name__ == "__main__":
    main()
