#!/usr/bin/env python3
"""Independent model of Linux's software BCH code (bch.h), written from its
definition with plain integers as polynomials, and the test vectors made
with it.

Each line of bch_vectors.txt is: seed, t, the stored code bytes in hex. The
step's 512 data bytes come from the LCG of make_vectors.py started at the
seed; seed 0 stands for a step of all 0xFF.

Run from this folder: python3 make_bch_vectors.py
"""

from make_vectors import lcg_bytes

M = 13
N = (1 << M) - 1
PRIMITIVE = 0x201B


def gf_tables():
    exp, log = [0] * (2 * N), [0] * (N + 1)
    x = 1
    for i in range(N):
        exp[i] = exp[i + N] = x
        log[x] = i
        x <<= 1
        if x & (1 << M):
            x ^= PRIMITIVE
    return exp, log


EXP, LOG = gf_tables()


def gf_mul(a, b):
    return 0 if a == 0 or b == 0 else EXP[LOG[a] + LOG[b]]


def minimal_polynomial(j):
    """The product of (x + a^r) over the cyclotomic coset of j, as GF(2) bits."""
    coset, r = [], j
    while r not in coset:
        coset.append(r)
        r = 2 * r % N
    poly = [1]  # coefficients over GF(2^13), lowest degree first
    for r in coset:
        root = EXP[r]
        poly = [0] + poly
        for i in range(len(poly) - 1):
            poly[i] ^= gf_mul(root, poly[i + 1])
    assert all(c in (0, 1) for c in poly)
    return sum(c << i for i, c in enumerate(poly))


def clmul(a, b):
    out = 0
    while b:
        if b & 1:
            out ^= a
        a <<= 1
        b >>= 1
    return out


def generator(t):
    g, seen = 1, set()
    for j in range(1, 2 * t, 2):
        m = minimal_polynomial(j)
        if m not in seen:
            seen.add(m)
            g = clmul(g, m)
    return g


def poly_mod(a, g):
    dg = g.bit_length() - 1
    while a and a.bit_length() - 1 >= dg:
        a ^= g << (a.bit_length() - 1 - dg)
    return a


def raw_code(data, t):
    bits = M * t
    nbytes = (bits + 7) // 8
    rem = poly_mod(int.from_bytes(data, "big") << bits, generator(t))
    return (rem << (8 * nbytes - bits)).to_bytes(nbytes, "big")


def stored_code(data, t):
    mask = bytes(~b & 0xFF for b in raw_code(b"\xff" * 512, t))
    return bytes(a ^ b for a, b in zip(raw_code(data, t), mask))


def main():
    with open("bch_vectors.txt", "w") as f:
        for t in (1, 2, 4, 8, 13, 16):
            for seed in range(0, 9):
                data = b"\xff" * 512 if seed == 0 else lcg_bytes(seed, 512)
                f.write("%d %d %s\n" % (seed, t, stored_code(data, t).hex()))


if __name__ == "__main__":
    main()
