#!/usr/bin/env python3
"""Writes the golden images of the imx-gpmi layout for nandconv's tests.

An independent model, written from the mathematics of the layout and not from
the tool: the raw page is one bit stream, least significant bit of each byte
first, of systematic BCH codewords one after another,

    [10 metadata bytes][chunk 0][ECC 0][chunk 1][ECC 1] ... 1-bit padding, 0xFF

where each codeword, read in stream order from its highest-degree bit, is a
multiple of the code's generator g(x): ECC k is (message(x) x^deg g) mod g
with message 0 the metadata and chunk 0, message k chunk k. The generator comes
from the field model of make_bch_vectors.py (the least common multiple of the
minimal polynomials of a^1, a^3, .., a^(2t-1)).

Before the codes, the payload byte that lands on raw byte `page` (found here
by solving raw_bit(x) = 8 page over the stream, not by a closed form) is
exchanged with metadata byte 0, so that the flash keeps 0xFF at the marker;
the i.MX23 makes no such exchange.

For each case it writes gpmi-NAME.img, the image of `nandconv build ARGS
input.bin OUT`, and gpmi-NAME-flips.img, the same image with bit flips:
page 0 with t flips in every chunk (chunk 0's include a metadata bit, and every
chunk's include ECC bits off byte boundaries and its last ECC bit), page 1
with t + 1 flips in chunk 1. The cases are in CASES; the tests hold the same
table. gpmi-meta.img is the 2048+128 image built with --meta gpmi-meta.bin.
Run it from this folder; the fixtures are committed.
"""

import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../../../lib/nand/tests/golden"))
from make_bch_vectors import Field, generator, poly_mod  # noqa: E402

META = 10
MAX_T = {"imx23": 20, "imx28": 20, "imx6q": 40, "imx6sx": 62}
POLY = {13: 0x201B, 14: 0x402B}


def geometry(page, oob, soc="imx6sx", strength=None):
    chunk, gf = 512, 13
    while chunk < oob:
        chunk, gf = chunk * 2, 14
    n = page // chunk
    t = strength if strength is not None else ((oob - META) * 8 // (gf * n)) // 2 * 2
    if t > MAX_T[soc]:
        raise ValueError("strength %d above %s's %d" % (t, soc, MAX_T[soc]))
    assert 8 * META + n * (8 * chunk + gf * t) <= 8 * (page + oob)
    return chunk, gf, n, t


def bits(data):
    return [b >> i & 1 for b in data for i in range(8)]


def to_bytes(stream):
    stream = stream + [1] * (-len(stream) % 8)
    return bytes(sum(stream[i + k] << k for k in range(8)) for i in range(0, len(stream), 8))


def marker_bit(page, chunk, gf, n, t):
    """The payload bit that the stream puts on raw bit 8 page."""
    for k in range(n):
        x = 8 * page - 8 * META - k * gf * t
        if k * 8 * chunk <= x < (k + 1) * 8 * chunk:
            return x
    raise AssertionError("marker outside the data")


def driver_marker_bit(page, gf, n, t):
    """The closed form the driver's comment derives (legacy_set_geometry):
    8 page - (t gf (N - 1) + 8 metadata), for the cross-check of the search."""
    return 8 * page - (t * gf * (n - 1) + 8 * META)


def parity(message_bits, g):
    deg = g.bit_length() - 1
    value = int("".join(map(str, message_bits)), 2) if message_bits else 0
    rem = poly_mod(value << deg, g)
    return [rem >> (deg - 1 - i) & 1 for i in range(deg)]


def record(data, page, oob, soc="imx6sx", strength=None, poly=None, meta=b"\xff" * META):
    chunk, gf, n, t = geometry(page, oob, soc, strength)
    g = generator(Field(gf, poly or POLY[gf]), t)
    assert g.bit_length() - 1 == gf * t
    payload = bits(data)
    meta = bits(meta)
    if soc != "imx23":
        x = marker_bit(page, chunk, gf, n, t)
        payload[x:x + 8], meta[0:8] = meta[0:8], payload[x:x + 8]
    stream = list(meta)
    for k in range(n):
        piece = payload[k * 8 * chunk:(k + 1) * 8 * chunk]
        message = (meta if k == 0 else []) + piece
        stream += piece + parity(message, g)
    raw = to_bytes(stream)
    return raw + b"\xff" * (page + oob - len(raw))


def flip_points(page, oob, soc="imx6sx", strength=None):
    """(page index, raw bit) of the flips of the -flips image."""
    chunk, gf, n, t = geometry(page, oob, soc, strength)
    ecc_bits = gf * t
    points = []
    for k in range(n):
        start = 8 * META + k * (8 * chunk + ecc_bits)  # chunk k's data
        ecc = start + 8 * chunk
        chosen = [ecc + 3, ecc + ecc_bits - 1, ecc + ecc_bits // 2 + 1]
        if k == 0:
            chosen.append(5)  # a metadata bit
        step = (8 * chunk) // (t + 1)
        j = 0
        while len(chosen) < t:
            chosen.append(start + 7 + j * step)
            j += 1
        points += [(0, b) for b in chosen]
    if n > 1:
        start = 8 * META + (8 * chunk + ecc_bits)
        step = (8 * chunk + ecc_bits) // (t + 2)
        points += [(1, start + 1 + j * step) for j in range(t + 1)]
    return points


def image(raw, page, oob, metadata=None, **kw):
    out = bytearray()
    for n, i in enumerate(range(0, len(raw), page)):
        if metadata is not None:
            kw["meta"] = metadata[n * META:(n + 1) * META]
        out += record(raw[i:i + page].ljust(page, b"\xff"), page, oob, **kw)
    return bytes(out)


def metadata_of(pages):
    """The metadata of --meta's golden image: page n's bytes 16 n + i."""
    return bytes((16 * n + i) & 0xFF for n in range(pages) for i in range(META))


def flipped(img, page, oob, **kw):
    out = bytearray(img)
    for p, b in flip_points(page, oob, **kw):
        out[p * (page + oob) + b // 8] ^= 1 << (b % 8)
    return bytes(out)


# name: (arguments, page, OOB, model options)
CASES = {
    "2048-64": ([], 2048, 64, {}),
    "4096-224": (["--page", "4096", "--oob", "224"], 4096, 224, {}),
    "8192-448": (["--page", "8192", "--oob", "448"], 8192, 448, {}),
    "2048-128": (["--oob", "128"], 2048, 128, {}),
    "4096-256": (["--page", "4096", "--oob", "256"], 4096, 256, {}),
    "8192-640": (["--page", "8192", "--oob", "640"], 8192, 640, {}),
    "imx23": (["--soc", "imx23"], 2048, 64, {"soc": "imx23"}),
    "strength4": (["--strength", "4"], 2048, 64, {"strength": 4}),
}

if __name__ == "__main__":
    with open("input.bin", "rb") as f:  # make_golden.py's input
        INPUT = f.read()
    for name, (args, page, oob, kw) in CASES.items():
        img = image(INPUT, page, oob, **kw)
        with open("gpmi-%s.img" % name, "wb") as f:
            f.write(img)
        with open("gpmi-%s-flips.img" % name, "wb") as f:
            f.write(flipped(img, page, oob, **kw))
        chunk, gf, n, t = geometry(page, oob, **kw)
        assert marker_bit(page, chunk, gf, n, t) == driver_marker_bit(page, gf, n, t)
        print(name, (chunk, gf, n, t), "marker at payload bit", marker_bit(page, chunk, gf, n, t), " ".join(args))
    # --meta on the geometry whose marker falls at bit 2.
    pages = -(-len(INPUT) // 2048)
    with open("gpmi-meta.bin", "wb") as f:
        f.write(metadata_of(pages))
    with open("gpmi-meta.img", "wb") as f:
        f.write(image(INPUT, 2048, 128, metadata=metadata_of(pages)))
