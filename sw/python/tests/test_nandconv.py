"""The Python module against the command-line tool on the same images, BCH
against the independent model's vectors, and threads against one at a time.

Run by CTest with PYTHONPATH at the built module, NANDCONV_BIN the tool and
NAND_SOURCE the source tree."""

import json
import os
import random
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
    # The page data alone is repaired as well.
    assert layout.check(image, fixed=False).data == result.data
    # A file is read a chunk at a time, with the same result; a cut record at
    # its end is counted and kept in the repaired image.
    (tmp_path / "cut.img").write_bytes(image + b"\x5a" * 100)
    for path in (str(tmp_path / "cut.img"), tmp_path / "cut.img"):
        by_path = layout.check(path)
        assert (by_path.findings, by_path.steps, by_path.data) == (result.findings, result.steps, result.data)
        assert (by_path.fixed, by_path.trailing_bytes) == (result.fixed + b"\x5a" * 100, 100)


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
        assert layout.check(str(tmp_path / "chip.img"), bb=bb).data == result.data


def test_a_file_of_many_chunks_as_the_tool(tmp_path):
    # Over 4 MiB, so that the file is read in several chunks; a block size
    # that does not divide the chunk, bad blocks and flips across them.
    layout = nandconv.Layout("linux-bch8", pages_per_block=48)
    image = layout.build(random.Random(3).randbytes(2048 * 48 * 60))
    image, _ = layout.inject(image, 5, ber=0.00002)
    marked = bytearray(image)
    for block in (1, 41):  # the first marker byte of the block's first page
        marked[block * 48 * 2112 + 2048] = 0
    (tmp_path / "dump.img").write_bytes(marked)
    r = tool("check", "--layout", "linux-bch8", "--pages-per-block", "48", "--json", "--bb", "pad",
             "-o", str(tmp_path / "raw"), str(tmp_path / "dump.img"))
    doc = json.loads(r.stdout)
    result = layout.check(str(tmp_path / "dump.img"), bb="pad")
    assert doc["bad_blocks"] == result.bad_blocks == 2 and doc["steps"]["corrected"] > 50
    assert (result.findings, result.steps) == (doc["findings"], doc["steps"])
    assert result.data == read(tmp_path / "raw")
    assert result.fixed == layout.check(bytes(marked), bb="pad").fixed
    # With --bb keep a bad block is written as read, its flips and all,
    # whichever thread decodes the others.
    r = tool("check", "--layout", "linux-bch8", "--pages-per-block", "48", "--bb", "keep",
             "-f", str(tmp_path / "kept"), str(tmp_path / "dump.img"))
    kept, block = read(tmp_path / "kept"), 48 * 2112
    for b in (1, 41):
        assert kept[b * block:(b + 1) * block] == marked[b * block:(b + 1) * block]
        assert kept[b * block:(b + 1) * block] != image[b * block:(b + 1) * block]
    assert kept[:block] == layout.check(bytes(marked), bb="keep").fixed[:block]


def test_detect_as_the_tool(tmp_path):
    for name in ("linux-bch8", "interleaved"):
        layout = nandconv.Layout(**CASES[name][0])
        data = random.Random(5).randbytes(2048 * 96)
        dump, _ = layout.inject(layout.build(data), 4, ber=0.00001)
        (tmp_path / "dump.img").write_bytes(dump)
        r = tool("detect", "--json", str(tmp_path / "dump.img"))
        doc = json.loads(r.stdout)
        for given in (str(tmp_path / "dump.img"), dump, memoryview(dump)):
            found = nandconv.detect(given)
            assert found["status"] == doc["status"] == 0
            assert json.loads(found["layout"].to_json()) == doc["layout"]
            assert found["evidence"]["records_sampled"] == doc["evidence"]["records_sampled"]
            assert [c["clean"] for c in found["evidence"]["candidates"]] == \
                [c["clean"] for c in doc["evidence"]["candidates"]]
        # The layout found checks the dump as the one it was built with.
        assert found["layout"].check(dump).findings == layout.check(dump).findings
    noise = random.Random(6).randbytes(2112 * 64)
    assert nandconv.detect(noise)["status"] == 1 and nandconv.detect(noise)["layout"] is None


def test_layouts_and_json():
    assert nandconv.layouts() == [json.loads(tool("layouts", "--json").stdout)["layouts"][i]["name"]
                                  for i in range(len(nandconv.layouts()))]
    text = nandconv.Layout("linux-bch8", oob=128).to_json()
    assert text == tool("layouts", "--json", "--layout", "linux-bch8", "--oob", "128").stdout.decode().strip()
    assert nandconv.Layout(json=text).to_json() == text


def test_the_readme_script_runs(tmp_path):
    readme = read(os.path.join(SOURCE, "README.md")).decode()
    script = readme.split("### From Python", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    layout = nandconv.Layout("linux-bch8")
    data = random.Random(9).randbytes(2048 * 128)
    dump, _ = layout.inject(layout.build(data), 3, bits=1)
    (tmp_path / "dump.oob").write_bytes(dump)
    r = subprocess.run([sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    assert r.stdout.startswith("128 0 0 {'clean': 0, 'corrected': 512, 'uncorrectable': 0}")
    assert read(tmp_path / "data.bin") == data


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
    with pytest.raises(FileNotFoundError):
        nandconv.Layout("linux-bch8").check("/nonexistent/dump.bin")


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
