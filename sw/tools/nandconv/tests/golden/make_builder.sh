#!/bin/sh
# Writes the builder-*.img known answers: input.bin as U-Boot's
# tools/sunxi-spl-image-builder writes it for the boot ROM (-b), built
# outside this tree from U-Boot's own source and lib/bch.c.
#
# The builder fills the page's bytes after its last step, and the padding of
# a short last step, from /dev/urandom when it scrambles (-s): those bytes,
# and the code of a step that holds padding, differ from run to run; the test
# (NandconvTest.BuilderBoot0ImagesMatchOutsideTheFill) compares everything
# else. Without -s they are 0xFF and the whole image is compared.
#
# usage: BUILDER=/path/to/sunxi-spl-image-builder ./make_builder.sh  (from this folder)
set -eu
: "${BUILDER:?set BUILDER to the builder program}"

# nandconv --layout sunxi-boot0 (2048+64, 1024 usable bytes, BCH-64/1024):
# 9 pages, two of them blank input, the last 1000 bytes.
"$BUILDER" -p 2048 -o 64 -e 0x20000 -s -b -c 64/1024 input.bin builder-boot0.img
# --page 4096 --oob 224 --usable-page 4096 --strength 16: four 1056-byte
# steps, so that the builder's blank marker bytes (raw 4096, 4097) fall in
# step 3's data; the last page is 1000 bytes, steps 1..3 all fill.
"$BUILDER" -p 4096 -o 224 -e 0x40000 -s -b -u 4096 -c 16/1024 input.bin builder-boot0-4096-u4096.img
# --page 8192 --oob 640 --strength 40 --step 512 --no-randomizer: 4096
# usable bytes by default, no fill.
"$BUILDER" -p 8192 -o 640 -e 0x80000 -b -c 40/512 input.bin builder-boot0-8192-plain.img
# --page 16384 --oob 1280: 8192 usable bytes by default, BCH-64/1024.
"$BUILDER" -p 16384 -o 1280 -e 0x400000 -s -b -c 64/1024 input.bin builder-boot0-16384.img
