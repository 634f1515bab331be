#!/usr/bin/env python3
"""nandconv detect on dumps that the tool did not make: random generic BCH
layouts (field, strength, polynomial, bit order, mask, XOR constant, ECC
offset, stride, interleaved steps with protected prepad bytes) written by the
independent model of the BCH codes (lib/nand/tests/golden/make_bch_vectors.py),
with blank pages, text and random data and a flipped bit in some steps; some
with OOB bytes that the code protects and that differ from page to page.

For each, detect must name the field, polynomial, strength, bit order, step
and placement used, and `nandconv check` with the layout it prints must find
every written step clean or corrected, with exactly the flips put in
corrected. Run by CTest with NANDCONV_BIN and NAND_SOURCE set.
"""

import json
import os
import random
import subprocess
import sys
import tempfile

NAND_SOURCE = os.environ["NAND_SOURCE"]
sys.path.insert(0, os.path.join(NAND_SOURCE, "sw/lib/nand/tests/golden"))
from make_bch_vectors import Bch  # noqa: E402

NANDCONV = os.environ["NANDCONV_BIN"]
PAGE, OOB = 2048, 64
PAGES = 48
# The polynomials detect tries first; one more, primitive of degree 14, that
# only --exhaustive finds.
KNOWN = {13: [0x201B], 14: [0x402B, 0x4443, 0x5803]}
UNKNOWN_14 = 0x6263
CASES = 14
WORDS = [b"erase ", b"block ", b"page ", b"spare ", b"area ", b"of ", b"the "]


def data_page(rng, kind):
    if kind == "random":
        return bytes(rng.getrandbits(8) for _ in range(PAGE))
    text = b""
    while len(text) < PAGE:
        text += rng.choice(WORDS)
    return text[:PAGE]


def random_layout(rng, exhaustive):
    """A layout as data, and the code that makes its steps."""
    step = rng.choice([512, 1024])
    m = 13 if step == 512 and rng.random() < 0.5 else 14
    poly = UNKNOWN_14 if exhaustive else rng.choice(KNOWN[m])
    if exhaustive:
        m = 14
    steps = PAGE // step
    interleaved = rng.random() < 0.3
    prepad = rng.choice([0, 2]) if interleaved else 0
    protect = interleaved and prepad != 0 and rng.random() < 0.8
    # Room for every step's code: the OOB after the two marker bytes, or
    # (interleaved) the OOB less the pads and a free byte for the marker.
    # OOB bytes the code covers after each step's data (a controller's tags,
    # different in every page), from OOB byte 2 on.
    prot = 0 if interleaved else rng.choice([0, 0, 2, 4])
    room = (OOB - 2) // steps - prot if not interleaved else (OOB - 1) // steps - prepad
    t = rng.randint(2, room * 8 // m)
    mask = rng.random() < 0.5
    code = Bch(m, t, poly, swap=rng.random() < 0.5, mask=mask, size=step + (prepad if protect else prot))
    xor = bytes(rng.getrandbits(8) for _ in range(code.nbytes)) if rng.random() < 0.3 else b""
    stride = code.nbytes + (rng.randint(0, room - code.nbytes) if not interleaved else 0)
    postpad = rng.randint(0, room - code.nbytes) if interleaved else 0
    layout = {
        "step": step, "m": m, "poly": poly, "strength": t, "lsb": code.swap, "mask": mask, "xor": xor.hex(),
        "interleaved": interleaved,
        "prepad": prepad, "postpad": postpad, "protect": protect, "stride": stride,
        "offset": rng.randint(2 + steps * prot, OOB - steps * stride) if not interleaved else None,
        "prot": prot,
    }
    return layout, code, xor


def stored(code, xor, message):
    c = bytearray(code.stored(message))
    for i, x in enumerate(xor):
        c[i] ^= x
    return bytes(c)


def record(layout, code, xor, page, rng):
    step, steps = layout["step"], PAGE // layout["step"]
    if layout["interleaved"]:
        raw = b""
        for s in range(steps):
            # Protected prepad bytes hold a controller's own bytes; free ones 0xFF.
            pre = bytes(rng.getrandbits(8) for _ in range(layout["prepad"])) if layout["protect"] else \
                b"\xff" * layout["prepad"]
            data = page[s * step:(s + 1) * step]
            c = stored(code, xor, data + pre if layout["protect"] else data)
            raw += data + pre + c + b"\xff" * layout["postpad"]
        return raw + b"\xff" * (PAGE + OOB - len(raw))
    oob = bytearray(b"\xff" * OOB)
    for s in range(steps):
        tag = bytes(rng.getrandbits(8) for _ in range(layout["prot"]))
        oob[2 + s * len(tag):2 + (s + 1) * len(tag)] = tag
        c = stored(code, xor, page[s * step:(s + 1) * step] + tag).ljust(layout["stride"], b"\xff")
        at = layout["offset"] + s * layout["stride"]
        oob[at:at + len(c)] = c
    return page + bytes(oob)


def dump(rng, layout, code, xor):
    """The dump, and the flips put in it (one bit in some written steps'
    data)."""
    kind = rng.choice(["random", "text"])
    blank = rng.choice([0.0, 0.5, 0.9])
    out, flips = bytearray(), 0
    for p in range(PAGES):
        if rng.random() < blank and p > 1:
            out += b"\xff" * (PAGE + OOB)
            continue
        rec = bytearray(record(layout, code, xor, data_page(rng, kind), rng))
        if rng.random() < 0.2:
            rec[rng.randrange(layout["step"])] ^= 1 << rng.randrange(8)  # step 0's data
            flips += 1
        out += rec
    return bytes(out), flips


def run(args):
    return subprocess.run([NANDCONV] + args, capture_output=True, text=True)


def main():
    rng = random.Random(20261211)
    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        for case in range(CASES):
            exhaustive = case == CASES - 1
            layout, code, xor = random_layout(rng, exhaustive)
            image, flips = dump(rng, layout, code, xor)
            path = os.path.join(tmp, "dump.img")
            with open(path, "wb") as f:
                f.write(image)
            d = run(["detect"] + (["--exhaustive"] if exhaustive else []) + [path])
            name = "case %d %s" % (case, layout)
            if d.returncode != 0:
                print("FAIL %s: detect status %d\n%s" % (name, d.returncode, d.stderr))
                failures += 1
                continue
            found = json.loads(d.stdout)
            want = {"page": PAGE, "oob": OOB, "step": layout["step"], "scheme": "bch", "m": layout["m"],
                    "poly": hex(layout["poly"]), "strength": layout["strength"],
                    "bit_order": "lsb-first" if layout["lsb"] else "msb-first",
                    "placement": "interleaved" if layout["interleaved"] else "oob"}
            if layout["interleaved"]:
                want.update(prepad=layout["prepad"], protect_prepad=layout["protect"])
            else:
                want["ecc"] = [{"offset": layout["offset"], "length": PAGE // layout["step"] * layout["stride"]}]
                if layout["prot"]:
                    want["protected"] = [{"offset": 2, "length": PAGE // layout["step"] * layout["prot"]}]
                    want["protected_per_step"] = layout["prot"]
            wrong = {k: (found.get(k), v) for k, v in want.items() if found.get(k) != v}
            if wrong:
                print("FAIL %s: found (got, want) %s" % (name, wrong))
                failures += 1
                continue
            lpath = os.path.join(tmp, "found.json")
            with open(lpath, "w") as f:
                f.write(d.stdout)
            c = run(["check", "--layout-file", lpath, "--json", path])
            report = json.loads(c.stdout) if c.stdout else {}
            steps = report.get("steps", {})
            if c.returncode != 0 or steps.get("uncorrectable") != 0 or steps.get("corrected") != flips:
                print("FAIL %s: check status %d, %s, %d flips" % (name, c.returncode, steps, flips))
                failures += 1
                continue
            print("ok %s" % name)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
