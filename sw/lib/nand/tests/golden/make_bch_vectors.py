#!/usr/bin/env python3
"""Independent model of the BCH codes of Linux's lib/bch.c (bch.h), written from its
definition with plain integers as polynomials, and the test vectors made
with it.

Each line of bch_vectors.txt is: seed, t, the stored code bytes in hex, for
Linux's NAND BCH over GF(2^13). Each line of bch_generic_vectors.txt is: m,
t, the polynomial, swap (1: bit-reversed bytes), mask (1: blank flash is a
codeword), the message bytes, seed, the stored code bytes in hex. The
message bytes come from the LCG of make_vectors.py started at the seed; seed
0 stands for a message of all 0xFF.

Run from this folder: python3 make_bch_vectors.py
"""

from make_vectors import lcg_bytes

def gf_tables(m, poly):
    n = (1 << m) - 1
    exp, log = [0] * (2 * n), [0] * (n + 1)
    x = 1
    for i in range(n):
        exp[i] = exp[i + n] = x
        log[x] = i
        x <<= 1
        if x & (1 << m):
            x ^= poly
    assert x == 1 and len(set(exp[:n])) == n, "not primitive"
    return exp, log


class Field:
    def __init__(self, m, poly):
        self.m, self.n = m, (1 << m) - 1
        self.exp, self.log = gf_tables(m, poly)

    def mul(self, a, b):
        return 0 if a == 0 or b == 0 else self.exp[self.log[a] + self.log[b]]

    def minimal_polynomial(self, j):
        """The product of (x + a^r) over the cyclotomic coset of j, as GF(2) bits."""
        coset, r = [], j
        while r not in coset:
            coset.append(r)
            r = 2 * r % self.n
        poly = [1]  # coefficients over GF(2^m), lowest degree first
        for r in coset:
            root = self.exp[r]
            poly = [0] + poly
            for i in range(len(poly) - 1):
                poly[i] ^= self.mul(root, poly[i + 1])
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


def generator(field, t):
    g, seen = 1, set()
    for j in range(1, 2 * t, 2):
        m = field.minimal_polynomial(j)
        if m not in seen:
            seen.add(m)
            g = clmul(g, m)
    return g


def poly_mod(a, g):
    dg = g.bit_length() - 1
    while a and a.bit_length() - 1 >= dg:
        a ^= g << (a.bit_length() - 1 - dg)
    return a


def reverse_bits(b):
    return int("{:08b}".format(b)[::-1], 2)


class Bch:
    """A BCH code over GF(2^m) for messages of `size` bytes: the code bits
    (the degree of g) left-aligned in ceil(m t / 8) bytes; with swap each
    message byte enters and each code byte leaves bit-reversed; with mask the
    stored code is XOR-ed with the complement of a blank message's code."""

    def __init__(self, m, t, poly, swap=False, mask=True, size=512):
        self.field = Field(m, poly)
        self.g = generator(self.field, t)
        self.bits = self.g.bit_length() - 1
        self.nbytes = (m * t + 7) // 8
        self.swap, self.size = swap, size
        self.mask = bytes(self.nbytes)
        if mask:
            self.mask = bytes(~b & 0xFF for b in self.raw(b"\xff" * size))

    def raw(self, data):
        if self.swap:
            data = bytes(reverse_bits(b) for b in data)
        rem = poly_mod(int.from_bytes(data, "big") << self.bits, self.g)
        code = (rem << (8 * self.nbytes - self.bits)).to_bytes(self.nbytes, "big")
        if self.swap:
            code = bytes(reverse_bits(b) for b in code)
        return code

    def stored(self, data):
        return bytes(a ^ b for a, b in zip(self.raw(data), self.mask))


def stored_code(data, t):
    """Linux's NAND BCH over GF(2^13) on a 512-byte step."""
    return Bch(13, t, 0x201B).stored(data)


# The codes of the generic vectors: (m, t, poly, swap, mask, message bytes).
# The first rows are the points where the encoding is compared with Linux's
# lib/bch.c; the small fields take short messages.
GENERIC = [
    (13, 8, 0x201B, False, True, 512),
    (13, 8, 0x201B, True, True, 512),
    (13, 8, 0x201B, True, False, 512),
    (14, 24, 0x402B, False, True, 1024),
    (14, 24, 0x402B, True, False, 1024),
    (14, 40, 0x5803, False, True, 1024),
    (14, 40, 0x5803, True, False, 1024),
    (15, 8, 0x8003, False, True, 2048),
    (15, 8, 0x8003, True, True, 2048),
    (13, 4, 0x201B, False, True, 518),
    (14, 16, 0x4443, True, False, 1024),
    (12, 4, 0x1053, False, True, 256),
    (15, 64, 0x8003, False, True, 2048),
    (5, 1, 0x25, False, True, 2),
    (8, 4, 0x11D, True, True, 16),
    (10, 6, 0x409, False, False, 100),
    # the strongest codes: sunxi's steps at t = 80 and 69 (966 code bits, a
    # part byte), and GF(2^15) at t = 80
    (14, 80, 0x5803, True, False, 1028),
    (14, 69, 0x5803, True, False, 1028),
    (15, 80, 0x8003, False, True, 2048),
]


def main():
    with open("bch_vectors.txt", "w") as f:
        code = {t: Bch(13, t, 0x201B) for t in (1, 2, 4, 8, 13, 16)}
        for t in (1, 2, 4, 8, 13, 16):
            for seed in range(0, 9):
                data = b"\xff" * 512 if seed == 0 else lcg_bytes(seed, 512)
                f.write("%d %d %s\n" % (seed, t, code[t].stored(data).hex()))
    # Each line: m t poly swap mask bytes seed code.
    with open("bch_generic_vectors.txt", "w") as f:
        for m, t, poly, swap, mask, size in GENERIC:
            c = Bch(m, t, poly, swap, mask, size)
            for seed in range(0, 4):
                data = b"\xff" * size if seed == 0 else lcg_bytes(seed, size)
                f.write("%d %d 0x%x %d %d %d %d %s\n" % (m, t, poly, swap, mask, size, seed, c.stored(data).hex()))


if __name__ == "__main__":
    main()
