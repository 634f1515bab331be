#!/usr/bin/env python3
"""The cases of the Linux test, made with nandconv on the host and judged
against what the kernel's NAND stack read and wrote in the guest.

  cases.py make NANDCONV CASES    writes the images and the guest's group list
  cases.py judge NANDCONV CASES CONSOLE
                                  compares the guest's console with nandconv
                                  check of the same images; prints one line a
                                  case and "N passed, M failed"
"""

import hashlib
import json
import os
import random
import subprocess
import sys

PAGE, OOB = 2048, 64
RECORD = PAGE + OOB

# group: (nandsim parameters, step size, layout, strength)
GROUPS = {
    "hamming": ("", 256, "linux-hamming", 1),
    "bch4": ("bch=4", 512, "linux-bch4", 4),
    "bch8": ("bch=8", 512, "linux-bch8", 8),
}
# Read as 256-byte Hamming by the kernel, built with 512-byte steps: the test
# must catch it.
NEGATIVE = ("hamming", "wrong-layout", "linux-hamming-512")


# The group whose injected flips nandflipbits makes in the guest.
FLIPBITS = "bch8"
# The bad-block case: nandsim's bad block 1 of blocks 0..3, 64 pages a block;
# 138 pages of data written through the kernel's BCH-8 around it.
BAD_BLOCKS, BLOCK_PAGES, BAD_PAGES = "1", 64, 138


def bad_data():
    rng = random.Random(11)
    return bytes(rng.getrandbits(8) for _ in range(BAD_PAGES * PAGE))


def run(args, **kw):
    return subprocess.run(args, check=True, capture_output=True, **kw)


def input_data():
    rng = random.Random(2026)
    rand = bytes(rng.getrandbits(8) for _ in range(2 * PAGE))
    return rand + b"\xff" * PAGE + b"\0" * PAGE  # two pages of data, an erased page, a zero page


def plain_data():
    rng = random.Random(7)
    return bytes(rng.getrandbits(8) for _ in range(4 * PAGE))


def make(nandconv, cases):
    os.makedirs(cases, exist_ok=True)
    with open(os.path.join(cases, "input.bin"), "wb") as f:
        f.write(input_data())
    with open(os.path.join(cases, "plain.bin"), "wb") as f:
        f.write(plain_data())
    with open(os.path.join(cases, "groups"), "w") as f:
        for group, (params, step, layout, t) in GROUPS.items():
            f.write(f"{group} {step} {params}\n")
            d = os.path.join(cases, group)
            os.makedirs(d, exist_ok=True)
            clean = os.path.join(d, "clean.img")
            run([nandconv, "build", "--layout", layout, os.path.join(cases, "input.bin"), clean])
            run([nandconv, "inject", "--layout", layout, "--seed", "1", "--bits", str(t),
                 "--manifest", os.path.join(d, "t.jsonl"), "--nandflipbits", os.path.join(d, "t.flips"),
                 clean, os.path.join(d, "t.img")])
            if group == FLIPBITS:
                with open(os.path.join(d, "flipbits"), "w") as f:
                    f.write("nandflipbits of t.flips on clean.img\n")
            run([nandconv, "inject", "--layout", layout, "--seed", "2", "--bits", str(t + 1),
                 clean, os.path.join(d, "over.img")])
    group, name, layout = NEGATIVE
    run([nandconv, "build", "--layout", layout, os.path.join(cases, "input.bin"),
         os.path.join(cases, group, name + ".img")])
    os.makedirs(os.path.join(cases, "bad"), exist_ok=True)
    with open(os.path.join(cases, "bad", "plain.bin"), "wb") as f:
        f.write(bad_data())


def md5(b):
    return hashlib.md5(b).hexdigest()


def parse_console(path):
    pages, raw, info = {}, {}, []
    with open(path, errors="replace") as f:
        for line in f:
            # The console may put terminal codes before a line.
            at = line.find("@@ ")
            if at < 0:
                continue
            words = line[at:].split()[1:]
            if words[0] in ("rawsums", "datasum"):
                raw[(words[0], words[1], words[2])] = words[3:]
            elif words[0] == "page":
                group, name, p, dc, df = words[1], words[2], int(words[3]), int(words[4]), int(words[5])
                pages[(group, name, p)] = (dc, df, words[6:])
            elif words[0] == "raw" and len(words) > 1:
                raw.setdefault(words[1], bytearray()).extend(bytes(int(x, 16) for x in words[2:]))
            else:
                info.append(" ".join(words))
    return pages, raw, info


def nandconv_check(nandconv, layout, image, raw_out):
    r = subprocess.run([nandconv, "check", "--json", "--layout", layout, "-o", raw_out, image],
                       capture_output=True, text=True)
    if r.returncode not in (0, 1):
        raise RuntimeError(f"nandconv check {image}: {r.stderr.strip()}")
    return json.loads(r.stdout)


def judge_image(nandconv, group, name, layout, step, image, pages, scratch, over8):
    """Returns (differences, known Linux flaws) of one image."""
    doc = nandconv_check(nandconv, layout, image, scratch)
    with open(scratch, "rb") as f:
        corrected_data = f.read()
    npages = os.path.getsize(image) // RECORD
    per_page = {p: [0, 0, set()] for p in range(npages)}  # corrected bits, failures, bad steps
    for finding in doc.get("findings", []):
        p, cls = finding["page"], finding["class"]
        if cls == "uncorrectable":
            per_page[p][1] += 1
            per_page[p][2].add(finding.get("step"))
        elif cls == "corrected-bits":
            per_page[p][0] += len(finding["bits"])
        elif cls in ("corrected-data", "corrected-ecc-field"):
            per_page[p][0] += 1
    differences, flaws = [], []
    for p in range(npages):
        if (group, name, p) not in pages:
            differences.append(f"page {p}: the kernel did not read it")
            continue
        dc, df, sums = pages[(group, name, p)]
        want_c, want_f, bad = per_page[p]
        for s, got in enumerate(sums):
            want = md5(corrected_data[p * PAGE + s * step:p * PAGE + (s + 1) * step])
            if s in bad:
                if over8 and got != want:
                    flaws.append(f"page {p} step {s}")
                continue
            if got != want:
                differences.append(f"page {p} step {s}: the kernel read other data")
        if over8 and df < want_f:
            # Linux's t=8 decoder accepts some t+1 patterns at false places.
            if dc < want_c:
                differences.append(f"page {p}: corrected {dc} bits, nandconv {want_c}")
            continue
        if (dc, df) != (want_c, want_f):
            differences.append(f"page {p}: kernel corrected {dc} bits and failed {df} steps, "
                               f"nandconv {want_c} and {want_f}")
    return differences, flaws


def record_differences(image, sums):
    """Where the records of an image differ from the guest's md5 sums."""
    with open(image, "rb") as f:
        data = f.read()
    want = [md5(data[i:i + RECORD]) for i in range(0, len(data), RECORD)]
    if len(sums) != len(want):
        return [f"the guest read {len(sums)} records, the image has {len(want)}"]
    return [f"record {i} differs" for i, (a, b) in enumerate(zip(sums, want)) if a != b]


def judge_bad_blocks(nandconv, cases, raw, scratch, verdict):
    """nanddump --noecc --oob --bb=dumpbad of the chip equals nandconv build
    --bad-blocks of the same data; nandconv check reports nandsim's bad block;
    check --bb skip -o equals nanddump's default dump."""
    plain = os.path.join(cases, "bad", "plain.bin")
    built = os.path.join(cases, "bad", "built.img")
    layout = ["--layout", "linux-bch8"]
    run([nandconv, "build", *layout, "--bad-blocks", BAD_BLOCKS, "--blocks", "4", plain, built])
    diffs = record_differences(built, raw.get(("rawsums", "bad", "dumpbad"), []))
    verdict(not diffs, "bad/dumpbad (nanddump of a chip with a bad block is build --bad-blocks)",
            "; ".join(diffs[:4]))
    diffs = []
    # nanddump's --bb=padbad (its default) and skipbad against check --bb pad
    # and skip: the data through the ECC, the bad block 0xFF or left out.
    for bb, ours in (("padbad", "pad"), ("skipbad", "skip"), ("default", "skip")):
        r = subprocess.run([nandconv, "check", "--json", *layout, "--bb", ours, "-o", scratch, built],
                           capture_output=True, text=True)
        doc = json.loads(r.stdout)
        bad = [f["block"] for f in doc.get("findings", []) if f.get("class") == "bad-block"]
        if r.returncode != 0 or bad != [int(b) for b in BAD_BLOCKS.split(",")]:
            diffs.append(f"check found bad blocks {bad}, status {r.returncode}")
        with open(scratch, "rb") as f:
            data = f.read()
        got = raw.get(("datasum", "bad", bb))
        if got != [str(len(data)), md5(data)]:
            diffs.append(f"nanddump --bb={bb}: {got}, check --bb {ours} -o: {len(data)} bytes {md5(data)}")
    verdict(not diffs, "bad/check (nandconv finds nandsim's bad block; check -o is nanddump's dump through the ECC)",
            "; ".join(diffs))


def judge(nandconv, cases, console):
    pages, raw, info = parse_console(console)
    for line in info:
        print("guest:", line)
    passed = failed = 0

    def verdict(ok, what, why=""):
        nonlocal passed, failed
        print(("ok    " if ok else "FAIL  ") + what + (": " + why if why else ""))
        passed += ok
        failed += not ok

    data = input_data()
    scratch = os.path.join(cases, "scratch.bin")
    for group, (params, step, layout, t) in GROUPS.items():
        for name in ("clean", "t", "over"):
            image = os.path.join(cases, group, name + ".img")
            diffs, flaws = judge_image(nandconv, group, name, layout, step, image, pages, scratch,
                                       group == "bch8" and name == "over")
            if name != "over":
                with open(scratch, "rb") as f:
                    if f.read() != data:
                        diffs.append("nandconv did not give the input back")
            for flaw in flaws:
                print(f"      {group}/{name}: {flaw}: Linux's decoder took t+1 flips for a correction (its known flaw)")
            verdict(not diffs, f"{group}/{name} (kernel reads nandconv's image)", "; ".join(diffs[:3]))
        # The kernel as the writer.
        dump = bytes(raw.get(group, b""))
        path = os.path.join(cases, group, "kernel.img")
        with open(path, "wb") as f:
            f.write(dump)
        diffs = []
        if len(dump) != 4 * RECORD:
            diffs.append(f"dump of {len(dump)} bytes")
        else:
            doc = nandconv_check(nandconv, layout, path, scratch)
            if doc.get("findings") or doc["steps"]["uncorrectable"] or doc["steps"]["corrected"]:
                diffs.append("steps not clean: " + json.dumps(doc.get("findings"))[:200])
            with open(scratch, "rb") as f:
                if f.read() != plain_data():
                    diffs.append("the data differ")
        verdict(not diffs, f"{group}/kernel-written (nandconv checks the kernel's image)", "; ".join(diffs))
    # nandflipbits made the flips of inject --nandflipbits: the chip read raw
    # is inject's image, and the kernel corrects it as it corrects that image.
    t_image = os.path.join(cases, FLIPBITS, "t.img")
    diffs = record_differences(t_image, raw.get(("rawsums", FLIPBITS, "flipbits"), []))
    layout, step = GROUPS[FLIPBITS][2], GROUPS[FLIPBITS][1]
    more, _ = judge_image(nandconv, FLIPBITS, "flipbits", layout, step, t_image, pages, scratch, False)
    diffs += more
    verdict(not diffs, f"{FLIPBITS}/flipbits (nandflipbits makes inject's flips)", "; ".join(diffs[:3]))
    judge_bad_blocks(nandconv, cases, raw, scratch, verdict)
    group, name, layout = NEGATIVE
    diffs, _ = judge_image(nandconv, group, name, layout, GROUPS[group][1],
                           os.path.join(cases, group, name + ".img"), pages, scratch, False)
    verdict(bool(diffs), f"{group}/{name} (a wrong layout must be caught)",
            "caught: " + diffs[0] if diffs else "not caught")
    print(f"{passed} passed, {failed} failed")
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    else:
        sys.exit(judge(sys.argv[2], sys.argv[3], sys.argv[4]))
