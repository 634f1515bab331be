#!/usr/bin/env python3
"""Times layout.check from Python against nandconv check on the same image,
in alternating rounds, and prints the median of the per-round ratios. The
Python side is timed in this process, from opening and mapping the file to
the result: the interpreter's own start (about 0.3 s here) is not the
module's.

usage: PYTHONPATH=build/python bench/python_check.py build/bin/nandconv [MIB] [ROUNDS]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

NANDCONV = sys.argv[1]
MIB = int(sys.argv[2]) if len(sys.argv) > 2 else 256
ROUNDS = int(sys.argv[3]) if len(sys.argv) > 3 else 7
LAYOUT = "linux-bch8"

import mmap

import nandconv


def timed(cmd):
    start = time.perf_counter()
    subprocess.run(cmd, check=False, stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def timed_check(path, data, fixed, mapped):
    """As a script does it: the file by its path (read a chunk at a time),
    or mapped and checked as a buffer."""
    start = time.perf_counter()
    if mapped:
        with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ) as m:
            r = nandconv.Layout(LAYOUT).check(m, data=data, fixed=fixed)
            del r
    else:
        r = nandconv.Layout(LAYOUT).check(path, data=data, fixed=fixed)
        del r
    return time.perf_counter() - start


def main():
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_DIR", "/tmp")) as d:
        data = os.path.join(d, "data")
        clean = os.path.join(d, "clean.img")
        image = os.path.join(d, "flipped.img")
        with open(data, "wb") as f:
            f.write(os.urandom(MIB << 20))
        subprocess.run([NANDCONV, "build", "-q", "--layout", LAYOUT, data, clean], check=True)
        # A few flips, as a good dump has: about one step in a thousand.
        subprocess.run([NANDCONV, "inject", "--layout", LAYOUT, "--seed", "1", "--ber", "0.0000002", clean, image],
                       check=True)
        for label, outputs, wanted in (("no outputs", [], False),
                                       ("-o and -f", ["-o", os.path.join(d, "raw"), "-f", os.path.join(d, "fixed")],
                                        True)):
            ratios = {False: [], True: []}
            for _ in range(ROUNDS):
                for mapped in (False, True):
                    tool = timed([NANDCONV, "check", "-q", "--layout", LAYOUT, *outputs, image])
                    ratios[mapped].append(timed_check(image, wanted, wanted, mapped) / tool)
            for mapped, r in ratios.items():
                how = "mmap" if mapped else "path"
                print(f"{MIB} MiB {LAYOUT}, {label}, {how}: python / nandconv check = {statistics.median(r):.2f} "
                      f"(median of {ROUNDS} rounds, min {min(r):.2f}, max {max(r):.2f})")


if __name__ == "__main__":
    main()
