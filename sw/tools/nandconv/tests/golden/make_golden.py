#!/usr/bin/env python3
"""Writes the golden images of nandconv's command-line tests.

An independent model of the layouts, written from their documentation rather
than from the tool: the OOB of every preset byte by byte, with the classic
sector code of conv's model (../../../conv/tests/golden/make_golden.py) and
Linux's Hamming code of the library's model
(../../../../lib/nand/tests/golden/make_vectors.py). For each case it writes
NAME.img, the image of `nandconv build ARGS input.bin NAME.img`; the cases
and their arguments are in CASES, and the tests hold the same table.

Run it from this folder; the fixtures are committed.
"""

import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../../conv/tests/golden"))
sys.path.insert(0, os.path.join(here, "../../../../lib/nand/tests/golden"))
from make_golden import pattern, sector_ecc  # noqa: E402
from make_vectors import hamming  # noqa: E402


def classic_oob(page):
    words = [0] * 12 + [sector_ecc(page[s * 512:(s + 1) * 512]) for s in range(4)]
    return struct.pack("<16I", *words)


def hamming_oob(page, step, oob_size, positions, sm=False):
    oob = bytearray(b"\xff" * oob_size)
    code = b"".join(hamming(page[i:i + step], sm) for i in range(0, len(page), step))
    assert len(code) == len(positions)
    for pos, byte in zip(positions, code):
        oob[pos] = byte
    return bytes(oob)


def build(raw, page_size, pad, oob_of, keep_erased=False):
    image = bytearray()
    for start in range(0, len(raw), page_size):
        page = raw[start:start + page_size].ljust(page_size, pad)
        if keep_erased and page == b"\xff" * page_size:
            image += page + b"\xff" * len(oob_of(page))
        else:
            image += page + oob_of(page)
    return bytes(image)


INPUT = pattern(2 * 2048, 7) + b"\xff" * 2048 + b"\0" * 2048 + pattern(1000, 8)

CASES = {
    # name: (arguments, image)
    "classic": ([], build(INPUT, 2048, b"\0", classic_oob)),
    "classic-keep-erased": (["--keep-erased"], build(INPUT, 2048, b"\0", classic_oob, keep_erased=True)),
    "linux-hamming": (["--layout", "linux-hamming"],
                      build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 256, 64, range(40, 64)))),
    "linux-hamming-sm": (["--layout", "linux-hamming", "--sm-order"],
                         build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 256, 64, range(40, 64), sm=True))),
    "linux-hamming-oob128": (["--layout", "linux-hamming", "--oob", "128"],
                             build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 256, 128, range(80, 104)))),
    "linux-hamming-512": (["--layout", "linux-hamming-512"],
                          build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 512, 64, range(40, 52)))),
    "linux-hamming-4k": (["--layout", "linux-hamming-512", "--page", "4096", "--oob", "224"],
                         build(INPUT, 4096, b"\xff", lambda p: hamming_oob(p, 512, 224, range(200, 224)))),
    "linux-hamming-sp": (["--layout", "linux-hamming-sp"],
                         build(INPUT, 512, b"\xff", lambda p: hamming_oob(p, 256, 16, [0, 1, 2, 3, 6, 7]))),
    "offset": (["--layout", "linux-hamming-512", "--ecc-offset", "2"],
               build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 512, 64, range(2, 14)))),
}

if __name__ == "__main__":
    with open("input.bin", "wb") as f:
        f.write(INPUT)
    for name, (args, image) in CASES.items():
        with open(f"{name}.img", "wb") as f:
            f.write(image)
        print(name, " ".join(args))
