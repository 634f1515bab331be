#!/usr/bin/env python3
"""Times the Python module's BCH encoding beside the C++ kernel, in
alternating rounds: BCH(8) over 512-byte steps, one call a step and the batch
form, against ecc_bench's bch8 (the same code, in C++, over 1 MiB). Both are
timed in processor time of the encoding thread, as the benchmark library
counts it, so that a busy machine stretches neither.

usage: PYTHONPATH=build/python bench/python_bch.py build/bin/ecc_bench [ROUNDS]
"""
import json
import random
import statistics
import subprocess
import sys
import time

import nandconv

BENCH = sys.argv[1]
ROUNDS = int(sys.argv[2]) if len(sys.argv) > 2 else 7
STEP = 512
SIZE = 1 << 20  # as the kernel's in-cache case


def kernel():
    out = subprocess.run([BENCH, "--benchmark_filter=^bch8/1048576$", "--benchmark_format=json"],
                         check=True, capture_output=True).stdout
    return json.loads(out)["benchmarks"][0]["bytes_per_second"]


def python_rates(bch, data):
    steps = [data[i:i + STEP] for i in range(0, len(data), STEP)]
    start = time.thread_time()
    for _ in range(4):
        for s in steps:
            bch.encode(s)
    single = 4 * len(data) / (time.thread_time() - start)
    start = time.thread_time()
    for _ in range(64):
        bch.encode_batch(data, STEP)
    batch = 64 * len(data) / (time.thread_time() - start)
    return single, batch


def main():
    bch = nandconv.BCH(8)
    data = random.Random(1).randbytes(SIZE)
    singles, batches = [], []
    for _ in range(ROUNDS):
        k = kernel()
        single, batch = python_rates(bch, data)
        singles.append(single / 1e9)
        batches.append(batch / k)
    print(f"BCH(8).encode, one call a 512-byte step: {statistics.median(singles):.2f} GB/s "
          f"(median of {ROUNDS} rounds)")
    print(f"BCH(8).encode_batch / C++ kernel: {statistics.median(batches):.2f} "
          f"(median of {ROUNDS} rounds, min {min(batches):.2f}, max {max(batches):.2f})")


if __name__ == "__main__":
    main()
