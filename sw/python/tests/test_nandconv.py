"""The Python module against the command-line tool on the same images, BCH
against the independent model's vectors, and threads against one at a time.

Run by CTest with PYTHONPATH at the built module, NANDCONV_BIN the tool and
NAND_SOURCE the source tree."""

import json
import os
import subprocess
import sys
import threading

import pytest

import nandconv

SOURCE = os.environ["NAND_SOURCE"]
TOOL = os.environ["NANDCONV_BIN"]
GOLDEN = os.path.join(SOURCE, "sw/tools/nandconv/tests/golden")
sys.path.insert(0, os.path.join(SOURCE, "sw/lib/nand/tests/golden"))
from make_vectors import lcg_bytes  # noqa: E402


def read(path):
    with open(path, "rb") as f:
        return f.read()


def tool(*args, cwd=None):
    return subprocess.run([TOOL, *args], capture_output=True, cwd=cwd)


# name: (Layout arguments, CLI layout options)
CASES = {
    "classic": ({}, []),
    "linux-hamming": ({"name": "linux-hamming"}, ["--layout", "linux-hamming"]),
    "linux-hamming-4k": ({"name": "linux-hamming-512", "page": 4096, "oob": 224, "ecc_offset": 200},
                         ["--layout", "linux-hamming-512", "--page", "4096", "--oob", "224", "--ecc-offset", "200"]),
    "linux-bch8": ({"name": "linux-bch8"}, ["--layout", "linux-bch8"]),
    "linux-bch24-1k": ({"name": "linux-bch24-1k"}, ["--layout", "linux-bch24-1k"]),
    "custom": ({"file": os.path.join(GOLDEN, "custom.json")}, ["--layout-file", os.path.join(GOLDEN, "custom.json")]),
    "interleaved": ({"file": os.path.join(GOLDEN, "interleaved.json")},
                    ["--layout-file", os.path.join(GOLDEN, "interleaved.json")]),
    "protected": ({"file": os.path.join(GOLDEN, "protected.json")},
                  ["--layout-file", os.path.join(GOLDEN, "protected.json")]),
    "gpmi-4096-256": ({"name": "imx-gpmi", "page": 4096, "oob": 256},
                      ["--layout", "imx-gpmi", "--page", "4096", "--oob", "256"]),
    "gpmi-imx23": ({"name": "imx-gpmi", "soc": "imx23"}, ["--layout", "imx-gpmi", "--soc", "imx23"]),
    # pages scrambled by their index in the image; boot0's fill at seed 0
    "sunxi-2048-64": ({"name": "sunxi"}, ["--layout", "sunxi"]),
    "sunxi-boot0": ({"name": "sunxi-boot0"}, ["--layout", "sunxi-boot0"]),
    "sunxi-plain": ({"name": "sunxi", "randomizer": False}, ["--layout", "sunxi", "--no-randomizer"]),
    "sunxi-boot0-8192": ({"name": "sunxi-boot0", "page": 8192, "oob": 640, "strength": 40, "fill_seed": 7},
                         ["--layout", "sunxi-boot0", "--page", "8192", "--oob", "640", "--strength", "40"]),
}


@pytest.mark.parametrize("name", CASES)
def test_build_is_the_golden_image(name):
    layout = nandconv.Layout(**CASES[name][0])
    data = read(os.path.join(GOLDEN, "input.bin"))
    assert layout.build(data) == read(os.path.join(GOLDEN, name + ".img"))
    # Any buffer, without a copy of its own: a memoryview of a bytearray.
    assert layout.build(memoryview(bytearray(data))) == read(os.path.join(GOLDEN, name + ".img"))


@pytest.mark.parametrize("name", CASES)
def test_inject_and_check_as_the_tool(name, tmp_path):
    args, options = CASES[name]
    layout = nandconv.Layout(**args)
    golden = os.path.join(GOLDEN, name + ".img")
    image, manifest = layout.inject(read(golden), 7, bits=2)
    r = tool("inject", *options, "--seed", "7", "--bits", "2", "--manifest", str(tmp_path / "m.jsonl"),
             golden, str(tmp_path / "t.img"))
    assert r.returncode == 0, r.stderr
    assert image == read(tmp_path / "t.img")
    assert manifest == [json.loads(line) for line in read(tmp_path / "m.jsonl").splitlines()]

    result = layout.check(image)
    bare = layout.check(image, data=False, fixed=False)  # the report alone
    assert (bare.findings, bare.steps, bare.data, bare.fixed) == (result.findings, result.steps, None, None)
    r = tool("check", *options, "--json", "-o", str(tmp_path / "raw"), "-f", str(tmp_path / "fixed"),
             str(tmp_path / "t.img"))
    assert r.returncode in (0, 1), r.stderr
    doc = json.loads(r.stdout)
    assert result.findings == doc["findings"]
    assert (result.pages, result.erased, result.steps) == (doc["pages"], doc["erased"], doc["steps"])
    assert result.data == read(tmp_path / "raw")
    assert result.fixed == read(tmp_path / "fixed")


def test_bad_blocks_as_the_tool(tmp_path):
    layout = nandconv.Layout("linux-bch8", pages_per_block=4)
    data = bytes(range(256)) * 8 * 40  # 40 pages
    (tmp_path / "data.bin").write_bytes(data)
    options = ["--layout", "linux-bch8", "--pages-per-block", "4"]
    r = tool("build", *options, "--bad-blocks", "1,4", "--blocks", "14", str(tmp_path / "data.bin"),
             str(tmp_path / "chip.img"))
    assert r.returncode == 0, r.stderr
    chip = read(tmp_path / "chip.img")
    for bb in ("skip", "pad", "keep"):
        result = layout.check(chip, bb=bb)
        r = tool("check", *options, "--json", "--bb", bb, "-o", str(tmp_path / "raw"), "-f", str(tmp_path / "fixed"),
                 str(tmp_path / "chip.img"))
        doc = json.loads(r.stdout)
        assert result.findings == doc["findings"]
        assert result.bad_blocks == doc["bad_blocks"] == 2
        assert result.data == read(tmp_path / "raw")
        assert result.fixed == read(tmp_path / "fixed")


def test_layouts_and_json():
    assert nandconv.layouts() == [json.loads(tool("layouts", "--json").stdout)["layouts"][i]["name"]
                                  for i in range(len(nandconv.layouts()))]
    text = nandconv.Layout("linux-bch8", oob=128).to_json()
    assert text == tool("layouts", "--json", "--layout", "linux-bch8", "--oob", "128").stdout.decode().strip()
    assert nandconv.Layout(json=text).to_json() == text


def test_errors_carry_the_tools_message():
    with pytest.raises(ValueError, match="the ECC \\(104 bytes from OOB byte 0\\) runs past the 64-byte OOB"):
        nandconv.Layout("linux-bch8", strength=16)
    with pytest.raises(ValueError, match="no layout named 'nope'"):
        nandconv.Layout("nope")
    with pytest.raises(OSError):
        nandconv.Layout(file="/nonexistent/layout.json")
    with pytest.raises(ValueError, match='key "colour": no such key'):
        nandconv.Layout(json='{"scheme":"bch","strength":4,"colour":1}')
    with pytest.raises(TypeError):
        nandconv.Layout("linux-bch8", colour=1)
    with pytest.raises(ValueError):
        nandconv.Layout("linux-bch8").inject(b"", 1)  # neither bits nor ber


def vectors():
    with open(os.path.join(SOURCE, "sw/lib/nand/tests/golden/bch_generic_vectors.txt")) as f:
        for line in f:
            m, t, poly, swap, mask, size, seed, code = line.split()
            if mask == "0":  # Linux's lib/bch.c itself has no NAND mask
                yield int(m), int(t), int(poly, 16), swap == "1", int(size), int(seed), bytes.fromhex(code)


def test_bch_matches_the_model():
    count = 0
    for m, t, poly, swap, size, seed, code in vectors():
        bch = nandconv.BCH(t, prim_poly=poly, swap_bits=swap)
        assert bch.m == m and bch.ecc_bytes == len(code)
        data = b"\xff" * size if seed == 0 else lcg_bytes(seed, size)
        assert bch.encode(data) == code, (m, t, hex(poly), swap, size, seed)
        count += 1
    assert count >= 8


def test_bch_decode_and_correct():
    bch = nandconv.BCH(8)
    data = bytearray(lcg_bytes(3, 512))
    ecc = bytearray(bch.encode(data))
    clean, clean_ecc = bytes(data), bytes(ecc)
    for bit in (5, 1000, 4000, 4095, 4096 + 3):  # four data bits, one code bit
        if bit < 4096:
            data[bit // 8] ^= 1 << (bit % 8)
        else:
            ecc[(bit - 4096) // 8] ^= 1 << (bit % 8)
    assert bch.decode(data, ecc) == 5
    assert sorted(bch.errloc) == [5, 1000, 4000, 4095, 4099]
    bch.correct(data, ecc)
    assert (bytes(data), bytes(ecc)) == (clean, clean_ecc)
    # Beyond t: -1, strictly; the batch form gives every step's code.
    for bit in range(0, 9 * 400, 400):
        data[bit // 8] ^= 1 << (bit % 8)
    assert bch.decode(data, ecc) == -1
    steps = lcg_bytes(4, 512 * 6)
    assert bch.encode_batch(steps, 512) == b"".join(bch.encode(steps[i:i + 512]) for i in range(0, len(steps), 512))


def test_threads_give_the_results_of_one_at_a_time():
    jobs = []
    for name in ("linux-bch8", "linux-hamming", "interleaved", "linux-bch24-1k"):
        layout = nandconv.Layout(**CASES[name][0])
        image, _ = layout.inject(read(os.path.join(GOLDEN, name + ".img")), 11, bits=3)
        jobs.append((layout, image))
    alone = [layout.check(image) for layout, image in jobs]
    together = [None] * (4 * len(jobs))

    def run(i):
        layout, image = jobs[i % len(jobs)]
        together[i] = layout.check(image)

    threads = [threading.Thread(target=run, args=(i,)) for i in range(len(together))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i, r in enumerate(together):
        a = alone[i % len(jobs)]
        assert (r.findings, r.steps, r.data, r.fixed) == (a.findings, a.steps, a.data, a.fixed)
