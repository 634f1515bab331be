#!/usr/bin/env python3
"""Writes the golden images of nandconv's command-line tests.

An independent model of the layouts, written from their documentation rather
than from the tool: the OOB of every preset byte by byte, with the classic
sector code of conv's model (../../../conv/tests/golden/make_golden.py) and
Linux's Hamming code of the library's model
(../../../../lib/nand/tests/golden/make_vectors.py). For each case it writes
NAME.img, the image of `nandconv build ARGS input.bin NAME.img`; the cases
and their arguments are in CASES, and the tests hold the same table.

It also models `nandconv inject` as its documentation states the generator
and the order of draws, and writes the manifest and image of one injection.

Run it from this folder; the fixtures are committed.
"""

import json
import os
import struct
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../../conv/tests/golden"))
sys.path.insert(0, os.path.join(here, "../../../../lib/nand/tests/golden"))
from make_golden import pattern, sector_ecc  # noqa: E402
from make_vectors import hamming  # noqa: E402
from make_bch_vectors import Bch, stored_code  # noqa: E402


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


def bch_oob(page, t, oob_size):
    code = b"".join(stored_code(page[i:i + 512], t) for i in range(0, len(page), 512))
    return b"\xff" * (oob_size - len(code)) + code


def generic_oob(page, code, step, oob_size, regions, free=0xFF, xor=b"", per_step=None, markers=()):
    """The OOB of a layout described as data: each step's stored code XOR the
    constant, then 0xFF up to per_step bytes, step after step through the ECC
    ranges in order; the bad-block marker bytes 0xFF; every other byte the
    free fill."""
    oob = bytearray([free] * oob_size)
    for m in markers:
        oob[m] = 0xFF
    stored = b""
    for i in range(0, len(page), step):
        c = bytearray(code.stored(page[i:i + step]))
        for k, x in enumerate(xor):
            c[k] ^= x
        stored += bytes(c).ljust(per_step or len(c), b"\xff")
    places = [o for offset, length in regions for o in range(offset, offset + length)]
    assert len(places) == len(stored)
    for pos, byte in zip(places, stored):
        oob[pos] = byte
    return bytes(oob)


# A controller's layout as a file: BCH-4 over GF(2^13), bytes bit-reversed,
# no mask, the code XOR-ed with a constant, 8 bytes a step (7 of code), in
# two OOB ranges; free and pad bytes zero.
CUSTOM = {
    "name": "vendor-x", "page": 2048, "oob": 64, "step": 512, "scheme": "bch", "strength": 4, "m": 13,
    "poly": "0x201b", "bit_order": "lsb-first", "erased_mask": False, "ecc_xor": "5aa5c33c0ff0e1",
    "ecc_bytes_per_step": 8, "ecc": [{"offset": 2, "length": 16}, {"offset": 40, "length": 16}],
    "bad_block_marker": [0], "free_fill": 0, "pad_fill": 0,
}


def protected_record(page, code, step, oob_size, ecc, protected, per_step, prot_of, marker_fill=0xFF):
    """A record of a layout whose codes also cover OOB bytes: each step's
    message is its data, then its per_step protected bytes (prot_of(s), the
    free fill on a build), which follow one another through the protected
    ranges; the codes go through the ECC ranges. Other bytes are 0xFF."""
    oob = bytearray([marker_fill] * oob_size)
    places = [o for offset, length in protected for o in range(offset, offset + length)]
    stored = b""
    for s in range(len(page) // step):
        prot = prot_of(s)
        assert len(prot) == per_step
        for k, byte in enumerate(prot):
            oob[places[s * per_step + k]] = byte
        stored += code.stored(page[s * step:(s + 1) * step] + prot)
    ecc_places = [o for offset, length in ecc for o in range(offset, offset + length)]
    for pos, byte in zip(ecc_places, stored):
        oob[pos] = byte
    return page + bytes(oob)


def interleaved_record(page, code_of, step, record_size, prepad, postpad, protect_prepad, prepad_of, free=0xFF):
    """A record of an interleaved (syndrome) layout: step after step its data,
    prepad bytes (prepad_of(s), the free fill on a build), its code and
    postpad bytes; the free fill to the end. With protect_prepad the code
    covers the data and then the prepad bytes, else the data alone."""
    raw = b""
    for s in range(len(page) // step):
        data, pre = page[s * step:(s + 1) * step], prepad_of(s)
        assert len(pre) == prepad
        raw += data + pre + code_of(data + pre if protect_prepad else data) + bytes([free] * postpad)
    assert len(raw) <= record_size
    return raw + bytes([free] * (record_size - len(raw)))


# Linux's syndrome placement for a controller's BCH-8: two bytes before each
# step's code that the code also covers, the marker in the four free bytes
# after the last step.
INTERLEAVED = {
    "name": "syndrome-bch8", "page": 2048, "oob": 64, "step": 512, "scheme": "bch", "strength": 8,
    "placement": "interleaved", "prepad": 2, "postpad": 0, "protect_prepad": True, "bad_block_marker": [62],
}
# Hamming on 256-byte steps, interleaved: one free byte before each code and
# two after it.
INTERLEAVED_HAMMING = {
    "name": "syndrome-hamming", "page": 2048, "oob": 64, "step": 256, "scheme": "hamming",
    "placement": "interleaved", "prepad": 1, "postpad": 2, "bad_block_marker": [],
}
# BCH-8 bit-reversed whose codes also cover two OOB bytes a step (OOB 2..9),
# the codes at the end of the OOB.
PROTECTED = {
    "name": "protected-bch8", "page": 2048, "oob": 64, "step": 512, "scheme": "bch", "strength": 8,
    "bit_order": "lsb-first", "protected": [{"offset": 2, "length": 8}], "protected_per_step": 2,
    "bad_block_marker": [0],
}
BCH8_LSB = Bch(13, 8, 0x201B, swap=True, size=514)
BCH8_PREPAD = Bch(13, 8, 0x201B, size=514)


def interleaved_bch8(page, prepad_of=lambda s: b"\xff\xff"):
    return interleaved_record(page, BCH8_PREPAD.stored, 512, 2112, 2, 0, True, prepad_of)


def interleaved_hamming(page):
    return interleaved_record(page, hamming, 256, 2112, 1, 2, False, lambda s: b"\xff")


def protected_bch8(page, prot_of=lambda s: b"\xff\xff"):
    return protected_record(page, BCH8_LSB, 512, 64, [(12, 52)], [(2, 8)], 2, prot_of)


# A page's protected bytes as a controller writes them: not the free fill.
def user_bytes(s):
    return bytes([0x10 + s, 0xA0 + s])


def build_records(raw, page_size, pad, record_of):
    """An image built whole-record by record_of; a page of 0xFF is built as
    any other (blank flash encodes blank on these layouts)."""
    out = bytearray()
    for start in range(0, len(raw), page_size):
        out += record_of(raw[start:start + page_size].ljust(page_size, pad))
    return bytes(out)


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
    "linux-hamming-4k": (["--layout", "linux-hamming-512", "--page", "4096", "--oob", "224", "--ecc-offset", "200"],
                         build(INPUT, 4096, b"\xff", lambda p: hamming_oob(p, 512, 224, range(200, 224)))),
    "linux-hamming-sp": (["--layout", "linux-hamming-sp"],
                         build(INPUT, 512, b"\xff", lambda p: hamming_oob(p, 256, 16, [0, 1, 2, 3, 6, 7]))),
    "offset": (["--layout", "linux-hamming-512", "--ecc-offset", "2"],
               build(INPUT, 2048, b"\xff", lambda p: hamming_oob(p, 512, 64, range(2, 14)))),
    "linux-bch4": (["--layout", "linux-bch4"], build(INPUT, 2048, b"\xff", lambda p: bch_oob(p, 4, 64))),
    "linux-bch8": (["--layout", "linux-bch8"], build(INPUT, 2048, b"\xff", lambda p: bch_oob(p, 8, 64))),
    "linux-bch8-4k": (["--layout", "linux-bch8-4k"], build(INPUT, 4096, b"\xff", lambda p: bch_oob(p, 8, 224))),
    "bch2-on-hamming": (["--layout", "linux-hamming-512", "--ecc", "bch", "--strength", "2"],
                        build(INPUT, 2048, b"\xff", lambda p: bch_oob(p, 2, 64))),
    "linux-bch24-1k": (["--layout", "linux-bch24-1k"],
                       build(INPUT, 4096, b"\xff",
                             lambda p: generic_oob(p, Bch(14, 24, 0x402B, size=1024), 1024, 224, [(224 - 168, 168)]))),
    "bch16-lsb-4443": (["--layout", "linux-bch8", "--step", "1k", "--m", "14", "--poly", "0x4443", "--strength", "16",
                        "--bit-order", "lsb-first"],
                       build(INPUT, 2048, b"\xff",
                             lambda p: generic_oob(p, Bch(14, 16, 0x4443, swap=True, size=1024), 1024, 64,
                                                   [(8, 56)]))),
    "interleaved": (["--layout-file", "interleaved.json"], build_records(INPUT, 2048, b"\xff", interleaved_bch8)),
    "interleaved-hamming": (["--layout-file", "interleaved-hamming.json"],
                            build_records(INPUT, 2048, b"\xff", interleaved_hamming)),
    "protected": (["--layout-file", "protected.json"], build_records(INPUT, 2048, b"\xff", protected_bch8)),
    "custom": (["--layout-file", "custom.json"],
               build(INPUT, 2048, b"\0",
                     lambda p: generic_oob(p, Bch(13, 4, 0x201B, swap=True, mask=False), 512, 64, [(2, 16), (40, 16)],
                                           free=0, xor=bytes.fromhex(CUSTOM["ecc_xor"]), per_step=8,
                                           markers=CUSTOM["bad_block_marker"]))),
}

M64 = (1 << 64) - 1


class SplitMix64:
    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & M64
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
        return z ^ (z >> 31)

    def below(self, n):
        rest = (1 << 64) % n
        while True:
            x = self.next()
            if x < (1 << 64) - rest:
                return x % n


def inject_bits(image, page_size, oob_size, t, seed, k):
    """`nandconv inject --bits K` on a BCH layout whose ECC ends the OOB."""
    code_bytes = (13 * t + 7) // 8
    steps = page_size // 512
    ecc_start = oob_size - steps * code_bytes
    used = 13 * t - 8 * (code_bytes - 1)
    keep = [0xFF] * (code_bytes - 1) + [(0xFF00 >> used) & 0xFF]
    code_bits = [(i, b) for i in range(code_bytes) for b in range(8) if keep[i] >> b & 1]
    rec = page_size + oob_size
    out, manifest, rng = bytearray(image), [], SplitMix64(seed)
    for page in range(len(image) // rec):
        base = page * rec
        if out[base:base + rec] == b"\xff" * rec:
            continue  # blank flash draws nothing
        for s in range(steps):
            drawn = []
            while len(drawn) < k:
                x = rng.below(512 * 8 + len(code_bits))
                if x in drawn:
                    continue
                drawn.append(x)
                if x < 4096:
                    offset, bit = s * 512 + x // 8, x % 8
                else:
                    i, bit = code_bits[x - 4096]
                    offset = page_size + ecc_start + s * code_bytes + i
                out[base + offset] ^= 1 << bit
                manifest.append('{"page":%d,"step":%d,"offset":%d,"bit":%d}\n' % (page, s, offset, bit))
    return bytes(out), "".join(manifest)


INJECT_ARGS = ["--layout", "linux-bch4", "--seed", "42", "--bits", "4"]

if __name__ == "__main__":
    with open("input.bin", "wb") as f:
        f.write(INPUT)
    for name, layout in (("custom", CUSTOM), ("interleaved", INTERLEAVED),
                         ("interleaved-hamming", INTERLEAVED_HAMMING), ("protected", PROTECTED)):
        with open(f"{name}.json", "w") as f:
            json.dump(layout, f, indent=2)
            f.write("\n")
    # Dumps as a controller writes them, its protected bytes not the free
    # fill: the tool cannot build these, only check them.
    for name, image in (("interleaved-dump", build_records(INPUT, 2048, b"\xff",
                                                            lambda p: interleaved_bch8(p, user_bytes))),
                        ("protected-dump", build_records(INPUT, 2048, b"\xff",
                                                         lambda p: protected_bch8(p, user_bytes)))):
        with open(f"{name}.img", "wb") as f:
            f.write(image)
    for name, (args, image) in CASES.items():
        with open(f"{name}.img", "wb") as f:
            f.write(image)
        print(name, " ".join(args))
    image, manifest = inject_bits(CASES["linux-bch4"][1], 2048, 64, 4, 42, 4)
    with open("linux-bch4-inject.img", "wb") as f:
        f.write(image)
    with open("linux-bch4-inject.jsonl", "w") as f:
        f.write(manifest)
    print("inject", " ".join(INJECT_ARGS))
