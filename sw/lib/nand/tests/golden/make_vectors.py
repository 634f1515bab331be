#!/usr/bin/env python3
"""Independent model of Linux's software Hamming code, written bit by bit from
its definition (hamming.h), and the test vectors made with it.

Each line of hamming_vectors.txt is: seed, step size, order (0 default,
1 SmartMedia), the three code bytes in hex. The step's data is the bytes of a
32-bit linear congruential generator started at the seed: x = x * 1103515245
+ 12345 (mod 2^32), each byte the top eight bits of the next x.

Run from this folder: python3 make_vectors.py
"""


def lcg_bytes(seed, n):
    x = seed
    out = bytearray()
    for _ in range(n):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out.append(x >> 24)
    return bytes(out)


def hamming(data, sm=False):
    n = len(data)
    lines = 9 if n == 512 else 8
    rp = [0] * 18
    col = [0] * 8
    for i, b in enumerate(data):
        p = bin(b).count("1") & 1
        for k in range(lines):
            rp[2 * k + ((i >> k) & 1)] ^= p
        for j in range(8):
            col[j] ^= (b >> j) & 1
    cp = [0] * 6
    for j in range(8):
        for k in range(3):
            cp[2 * k + ((j >> k) & 1)] ^= col[j]
    inv = lambda x: x ^ 1
    low = sum(inv(rp[k]) << k for k in range(8))
    high = sum(inv(rp[8 + k]) << k for k in range(8))
    third = sum(inv(cp[k]) << (2 + k) for k in range(6))
    third |= 3 if n == 256 else (inv(rp[17]) << 1 | inv(rp[16]))
    return bytes([low, high, third]) if sm else bytes([high, low, third])


def main():
    with open("hamming_vectors.txt", "w") as f:
        for seed in range(1, 65):
            for size in (256, 512):
                data = lcg_bytes(seed, size)
                for sm in (0, 1):
                    f.write("%d %d %d %s\n" % (seed, size, sm, hamming(data, bool(sm)).hex()))


if __name__ == "__main__":
    main()
