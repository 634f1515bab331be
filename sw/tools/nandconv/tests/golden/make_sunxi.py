#!/usr/bin/env python3
"""Writes the golden images of the sunxi and sunxi-boot0 layouts for nandconv's tests.

An independent model, written from the controller's documented behaviour
and the mathematics, not from the tool.

The code: binary BCH over GF(2^14) with the primitive polynomial 0x5803,
strength t. A step's codeword, read as a bit stream, is its data bytes and
then its 4 user bytes, each byte least significant bit first, then the
b = deg g(x) parity bits (message(x) x^b mod g(x), highest degree first),
packed least significant bit first into ceil(14 t / 8) bytes, the bits after
them 0. b is 14 t up to t = 64; from t = 65 on it is 14 t - 7, as a^129
(129 = 2^7 + 1) has only 7 conjugates. A step stores E = ceil(14 t / 8)
rounded up to even bytes; the spare byte is 0x00.

The randomizer: a 15-bit Fibonacci LFSR. Its output bits x_0, x_1, ... are
the seed's 15 bits (least significant first) and then x_(i+15) = x_i ^ x_(i+1);
byte k of a stream is x_(15+8k) .. x_(22+8k), least significant first. Every
step restarts the stream at the page's seed and XORs it over its data, user
bytes and stored code, in that order.

sunxi (a normal page): data contiguous; the OOB holds, step after step, the
4 user bytes and E code bytes; then 0xFF to the end, scrambled by a stream
that restarts at the page's seed. The page's seed is SEEDS[page %
min(pages per block, 128)]. Step 0's user bytes 0 and 1 (the bad-block
marker) are XOR-ed with stream bytes `step` and `step + 1` before encoding,
so that they land on the flash as written (0xFF).

sunxi-boot0: `usable` bytes of input a page, steps interleaved from raw byte
0 as [data][4 user][E code], all scrambled from the seed 0x4a80. A page whose
input is all 0xFF stays blank. The rest of the page after the last step, then
the padding of a short last step, are fill bytes (FILLS); raw bytes `page`
and `page + 1` are then set to 0xFF. Without fill (--no-randomizer) they are
0xFF. Fill byte j of page i is byte j % 8 (least significant first) of output
j / 8 of SplitMix64 started at state seed + i.

It writes sunxi-NAME.img (nandconv build ARGS input.bin OUT) and
sunxi-NAME-flips.img: page 0 with t flips in every step (data, user and code
bits), page 1 with t + 1 flips in its last step. Run it from this folder.
"""

import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "../../../../lib/nand/tests/golden"))
from make_bch_vectors import Field, generator, poly_mod  # noqa: E402

M, POLY, USER = 14, 0x5803, 4
BOOT0_SEED = 0x4A80
# The seeds of the page randomizer, by page within the block modulo 128, as
# the controller's vendor code and Linux's driver list them.
SEEDS = [
    0x2B75, 0x0BD0, 0x5CA3, 0x62D1, 0x1C93, 0x07E9, 0x2162, 0x3A72, 0x0D67, 0x67F9, 0x1BE7, 0x077D, 0x032F,
    0x0DAC, 0x2716, 0x2436, 0x7922, 0x1510, 0x3860, 0x5287, 0x480F, 0x4252, 0x1789, 0x5A2D, 0x2A49, 0x5E10,
    0x437F, 0x4B4E, 0x2F45, 0x216E, 0x5CB7, 0x7130, 0x2A3F, 0x60E4, 0x4DC9, 0x0EF0, 0x0F52, 0x1BB9, 0x6211,
    0x7A56, 0x226D, 0x4EA7, 0x6F36, 0x3692, 0x38BF, 0x0C62, 0x05EB, 0x4C55, 0x60F4, 0x728C, 0x3B6F, 0x2037,
    0x7F69, 0x0936, 0x651A, 0x4CEB, 0x6218, 0x79F3, 0x383F, 0x18D9, 0x4F05, 0x5C82, 0x2912, 0x6F17, 0x6856,
    0x5938, 0x1007, 0x61AB, 0x3E7F, 0x57C2, 0x542F, 0x4F62, 0x7454, 0x2EAC, 0x7739, 0x42D4, 0x2F90, 0x435A,
    0x2E52, 0x2064, 0x637C, 0x66AD, 0x2C90, 0x0BAD, 0x759C, 0x0029, 0x0986, 0x7126, 0x1CA7, 0x1605, 0x386A,
    0x27F5, 0x1380, 0x6D75, 0x24C3, 0x0F8E, 0x2B7A, 0x1418, 0x1FD1, 0x7DC1, 0x2D8E, 0x43AF, 0x2267, 0x7DA3,
    0x4E3D, 0x1338, 0x50DB, 0x454D, 0x764D, 0x40A3, 0x42E6, 0x262B, 0x2D2E, 0x1AEA, 0x2E17, 0x173D, 0x3A6E,
    0x71BF, 0x25F9, 0x0A5D, 0x7C57, 0x0FBE, 0x46CE, 0x4939, 0x6B17, 0x37BB, 0x3E91, 0x76DB,
]
assert len(SEEDS) == 128


def keystream(seed, n):
    x = [seed >> i & 1 for i in range(15)]
    while len(x) < 15 + 8 * n:
        x.append(x[-15] ^ x[-14])
    return bytes(sum(x[15 + 8 * k + j] << j for j in range(8)) for k in range(n))


def lfsr_state(seed, n):
    """The 15-bit state after n steps: bits x_n .. x_(n+14)."""
    x = [seed >> i & 1 for i in range(15)]
    while len(x) < n + 15:
        x.append(x[-15] ^ x[-14])
    return sum(x[n + j] << j for j in range(15))


# Known answers: Linux's driver lists the state after 15 + 8 step steps from
# each page seed (its ECC seed tables); their first and last entries.
assert [lfsr_state(SEEDS[i], 15 + 8 * 1024) for i in (0, 1, 127)] == [0x2CF5, 0x35F1, 0x3CCD]
assert [lfsr_state(SEEDS[i], 15 + 8 * 512) for i in (0, 127)] == [0x3346, 0x0FA0]


def xor(a, b):
    return bytes(p ^ q for p, q in zip(a, b))


def ecc_bytes(t):
    n = -(-M * t // 8)
    return n + n % 2


_generators = {}


def generator_of(t):
    if t not in _generators:
        _generators[t] = generator(Field(M, POLY), t)
    return _generators[t]


def code_bits(t):
    deg = generator_of(t).bit_length() - 1
    assert deg == M * t - (7 if t >= 65 else 0)
    return deg


def code(message, t):
    g = generator_of(t)
    deg = code_bits(t)
    value = 0
    for b in message:
        for i in range(8):
            value = value << 1 | (b >> i & 1)
    rem = poly_mod(value << deg, g)
    bits = [rem >> (deg - 1 - i) & 1 for i in range(deg)]
    bits += [0] * (8 * ecc_bytes(t) - deg)
    return bytes(sum(bits[8 * k + j] << j for j in range(8)) for k in range(len(bits) // 8))


def splitmix64(state):
    mask = (1 << 64) - 1
    while True:
        state = (state + 0x9E3779B97F4A7C15) & mask
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & mask
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & mask
        z ^= z >> 31
        for j in range(8):
            yield z >> (8 * j) & 0xFF


def sunxi_record(data, index, page, oob, step, t, ppb=64, scramble=True):
    e = ecc_bytes(t)
    n = page // step
    assert n * (USER + e) <= oob
    seed = SEEDS[index % min(ppb, 128)]
    ks = keystream(seed, step + USER + e) if scramble else bytes(step + USER + e)
    out_data, out_oob = bytearray(), bytearray()
    for k in range(n):
        user = bytearray(b"\xff" * USER)
        if k == 0:
            user[0] ^= ks[step]
            user[1] ^= ks[step + 1]
        chunk = data[k * step:(k + 1) * step] + bytes(user)
        chunk = xor(chunk + code(chunk, t), ks)
        out_data += chunk[:step]
        out_oob += chunk[step:]
    rest = oob - len(out_oob)
    out_oob += xor(b"\xff" * rest, keystream(seed, rest)) if scramble else b"\xff" * rest
    return bytes(out_data + out_oob)


def boot0_record(data, got, index, page, oob, usable, step, t, seed=0, fill=True):
    """data: `usable` bytes, of which the first `got` are input."""
    if data == b"\xff" * usable:
        return b"\xff" * (page + oob)
    e = ecc_bytes(t)
    n = usable // step
    ks = keystream(BOOT0_SEED, step + USER + e)
    rng = splitmix64((seed + index) % (1 << 64))
    raw = bytearray(b"\xff" * (page + oob))
    used = n * (step + USER + e)
    if fill:
        raw[used:] = bytes(next(rng) for _ in range(len(raw) - used))
    for k in range(n):
        piece = bytearray(data[k * step:(k + 1) * step])
        real = max(0, min(step, got - k * step))
        if fill:
            piece[real:] = bytes(next(rng) for _ in range(step - real))
        chunk = bytes(piece) + b"\xff" * USER
        raw[k * (step + USER + e):(k + 1) * (step + USER + e)] = xor(chunk + code(chunk, t), ks)
    raw[page:page + 2] = b"\xff\xff"
    return bytes(raw)


def image(raw, kind, page, oob, step, t, ppb=64, scramble=True, usable=None, seed=0):
    out = bytearray()
    size = usable if kind == "boot0" else page
    for i, at in enumerate(range(0, len(raw), size)):
        piece = raw[at:at + size]
        data = piece.ljust(size, b"\xff")
        if kind == "boot0":
            out += boot0_record(data, len(piece), i, page, oob, usable, step, t, seed, scramble)
        else:
            out += sunxi_record(data, i, page, oob, step, t, ppb, scramble)
    return bytes(out)


def flip_points(kind, page, oob, step, t, usable=None):
    """(page index, raw byte, bit) of the flips of the -flips image."""
    e = ecc_bytes(t)
    n = (usable if kind == "boot0" else page) // step
    points = []
    for k in range(n):
        if kind == "boot0":
            base = k * (step + USER + e)
            data, user = base, base + step
        else:
            data, user = k * step, page + k * (USER + e)
        ecc = user + USER
        # a user bit, the first and the last code bit's byte (never the
        # spare bits and bytes, which no code covers)
        last = code_bits(t) - 1
        chosen = [(user + 2, 6), (ecc, 0), (ecc + last // 8, min(3, last % 8))]
        j = 0
        while len(chosen) < t:
            chosen.append((data + (j * 37) % step, j % 8))
            j += 1
        points += [(0, b, i) for b, i in chosen]
    k = n - 1
    data = k * (step + USER + e) if kind == "boot0" else k * step
    points += [(1, data + 11 * j, (3 * j) % 8) for j in range(t + 1)]
    return points


def flipped(img, kind, page, oob, step, t, usable=None):
    out = bytearray(img)
    for p, b, i in flip_points(kind, page, oob, step, t, usable):
        out[p * (page + oob) + b] ^= 1 << i
    return bytes(out)


# name: (arguments, kind, page, OOB, step, t, model options)
CASES = {
    "2048-64": ([], "sunxi", 2048, 64, 1024, 16, {}),
    "4096-224-t28": (["--page", "4096", "--oob", "224", "--strength", "28"], "sunxi", 4096, 224, 1024, 28, {}),
    "step512": (["--oob", "128", "--step", "512"], "sunxi", 2048, 128, 512, 16, {}),
    "plain": (["--no-randomizer"], "sunxi", 2048, 64, 1024, 16, {"scramble": False}),
    "ppb2": (["--pages-per-block", "2"], "sunxi", 2048, 64, 1024, 16, {"ppb": 2}),
    "boot0": ([], "boot0", 2048, 64, 1024, 64, {"usable": 1024}),
    "boot0-8192": (["--page", "8192", "--oob", "640", "--strength", "40", "--seed", "7"], "boot0", 8192, 640,
                   1024, 40, {"usable": 4096, "seed": 7}),
    "boot0-512-t28": (["--step", "512", "--strength", "28"], "boot0", 2048, 64, 512, 28, {"usable": 1024}),
    # raw bytes 4096 and 4097, set to 0xFF after the codes, fall in step 3's data
    "boot0-marker": (["--page", "4096", "--oob", "224", "--usable-page", "4096", "--strength", "16"], "boot0", 4096,
                     224, 1024, 16, {"usable": 4096}),
    "boot0-plain": (["--no-randomizer"], "boot0", 2048, 64, 1024, 64, {"usable": 1024, "scramble": False}),
    # the newer controllers' strongest code: 140 code bytes a step, 64 bytes
    # of scrambled 0xFF after the last
    "h6-t80": (["--soc", "h6", "--page", "4096", "--oob", "640", "--strength", "80"], "sunxi", 4096, 640, 1024, 80,
               {}),
    # 959 code bits (14 t - 7): 7 in byte 119, none in byte 120, then the
    # spare byte
    "h6-t69": (["--soc", "h6", "--oob", "256", "--strength", "69"], "sunxi", 2048, 256, 1024, 69, {}),
}

if __name__ == "__main__":
    with open("input.bin", "rb") as f:  # make_golden.py's input
        INPUT = f.read()
    for name, (args, kind, page, oob, step, t, kw) in CASES.items():
        img = image(INPUT, kind, page, oob, step, t, **kw)
        with open("sunxi-%s.img" % name, "wb") as f:
            f.write(img)
        with open("sunxi-%s-flips.img" % name, "wb") as f:
            f.write(flipped(img, kind, page, oob, step, t, kw.get("usable")))
        print(name, kind, len(img) // (page + oob), "pages")
