#!/usr/bin/env python3
"""Writes the golden fixtures of the converter's command-line tests.

An independent model of the converter, written straight from the definition of
the code and the image format: the sector ECC bit by bit, the page records with
the spare words least significant byte first, and the progress lines. For each
case NAME it writes NAME.in (the input), NAME.img (the image of
`conv NAME.in NAME.img`) and NAME.out (that run's standard output).

Run it from this folder; the fixtures are committed, so the tests do not need it.
"""

import struct

PAGE = 2048
SECTOR = 512


def sector_ecc(sector):
    """The ECC word of one 512-byte sector."""
    data = bytes(sector[n ^ 3] for n in range(SECTOR))  # reverse each group of four
    parity = [0] * 12
    parity_p = [0] * 12
    for count, byte in enumerate(data):
        bits = [(byte >> i) & 1 for i in range(8)]
        for k in range(3):
            for i in range(8):
                if (i >> k) & 1:
                    parity[k] ^= bits[i]
                else:
                    parity_p[k] ^= bits[i]
        all_bits = 0
        for b in bits:
            all_bits ^= b
        for k in range(3, 12):
            if (count >> (k - 3)) & 1:
                parity[k] ^= all_bits
            else:
                parity_p[k] ^= all_bits
    ecc = 0
    for k in range(12):
        ecc |= parity[k] << (16 + k)
        ecc |= parity_p[k] << k
    return int.from_bytes(ecc.to_bytes(4, "little"), "big")  # reverse the four bytes


def convert(raw, name):
    image = bytearray()
    lines = [f"{name}.in", f"{name}.img"]
    for page, start in enumerate(range(0, len(raw), PAGE)):
        data = raw[start:start + PAGE].ljust(PAGE, b"\0")
        spare = [0] * 16
        for s in range(4):
            spare[12 + s] = sector_ecc(data[s * SECTOR:(s + 1) * SECTOR])
            lines.append(f"main: page {page} spare[{12 + s}] = 0x{spare[12 + s]:08x}")
        image += data + struct.pack("<16I", *spare)
    return bytes(image), "".join(line + "\n" for line in lines)


def pattern(length, seed):
    """Deterministic bytes from a 32-bit LCG (Numerical Recipes constants)."""
    out = bytearray()
    x = seed
    for _ in range(length):
        x = (1664525 * x + 1013904223) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


CASES = {
    "empty": b"",
    "one": b"\x01",
    "abc": b"abc",
    "ff": b"\xff" * PAGE,
    "exact": pattern(2 * PAGE, 1),
    "partial": pattern(2 * PAGE + 905, 2),
}

if __name__ == "__main__":
    for name, raw in CASES.items():
        image, out = convert(raw, name)
        with open(f"{name}.in", "wb") as f:
            f.write(raw)
        with open(f"{name}.img", "wb") as f:
            f.write(image)
        with open(f"{name}.out", "w") as f:
            f.write(out)
