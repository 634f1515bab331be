#!/bin/busybox sh
# The guest's init: loads the simulated NAND chip for each group of cases,
# writes every image raw and reads it back through the kernel's ECC page by
# page, lets the kernel write plain data with its own ECC and dumps it raw,
# and prints everything on the serial console as lines starting with "@@".
/bin/busybox --install -s /bin
export PATH=/bin:/sbin:/usr/sbin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev

say() { echo "@@ $*"; }
# The md5 of each 2112-byte record of a file, in order.
record_sums() {
  local n=$(( $(wc -c < "$1") / 2112 )) r=0
  while [ $r -lt $n ]; do
    dd if="$1" bs=2112 skip=$r count=1 2>/dev/null | md5sum | cut -c1-32
    r=$((r + 1))
  done
}
counter() { cat /sys/class/mtd/mtd0/$1; }

say kernel "$(uname -r)"
while read -r m; do
  insmod /modules/$m.ko || say error "insmod $m"
done < /modules/order

# Each group: its nandsim parameters, then its cases (the files cases/GROUP/*).
while read -r group step params; do
  [ -n "$group" ] || continue
  # 2048+64-byte pages, 128 KiB blocks.
  insmod /modules/nandsim.ko first_id_byte=0x20 second_id_byte=0xaa third_id_byte=0x00 fourth_id_byte=0x15 \
    $params || { say error "nandsim $group"; continue; }
  say group "$group" "strength=$(cat /sys/class/mtd/mtd0/ecc_strength)" "step=$(cat /sys/class/mtd/mtd0/ecc_step_size)"
  for img in /cases/$group/*.img /cases/$group/flipbits; do
    [ -e "$img" ] || continue
    name=$(basename "$img" .img)
    flash_erase -q /dev/mtd0 0 1 || say error "erase $name"
    if [ "$name" = flipbits ]; then
      # The clean image raw, then nandflipbits flips the bits that
      # nandconv inject --nandflipbits listed; the chip is read back raw.
      img=/cases/$group/clean.img
      nandwrite -q --noecc --oob /dev/mtd0 "$img" || say error "write $name"
      # nandflipbits reads errno without clearing it, and in the guest its
      # first malloc leaves one there: a preloaded constructor makes that
      # first allocation and clears errno.
      LD_PRELOAD=/lib/clear-errno.so nandflipbits --oob /dev/mtd0 $(cat /cases/$group/t.flips) ||
        say error "nandflipbits"
      nanddump -q --noecc --oob -l $(( $(wc -c < "$img") / 2112 * 2048 )) -f /tmp/raw /dev/mtd0 2>/dev/null
      say rawsums "$group" "$name" $(record_sums /tmp/raw)
    else
      nandwrite -q --noecc --oob /dev/mtd0 "$img" || say error "write $name"
    fi
    pages=$(( $(wc -c < "$img") / 2112 ))
    p=0
    while [ $p -lt $pages ]; do
      c0=$(counter corrected_bits); f0=$(counter ecc_failures)
      nanddump -q -s $((p * 2048)) -l 2048 -f /tmp/page /dev/mtd0 2>/dev/null
      c1=$(counter corrected_bits); f1=$(counter ecc_failures)
      sums=""
      s=0
      while [ $s -lt $((2048 / step)) ]; do
        sums="$sums $(dd if=/tmp/page bs=$step skip=$s count=1 2>/dev/null | md5sum | cut -c1-32)"
        s=$((s + 1))
      done
      say page "$group" "$name" $p $((c1 - c0)) $((f1 - f0))$sums
      p=$((p + 1))
    done
  done
  # Linux as the writer: plain data through the kernel's ECC, dumped raw.
  flash_erase -q /dev/mtd0 0 1
  nandwrite -q /dev/mtd0 /cases/plain.bin || say error "write plain"
  nanddump -q --noecc --oob -l 8192 -f /tmp/raw /dev/mtd0 2>/dev/null
  od -An -v -tx1 /tmp/raw | while read -r line; do say raw "$group" $line; done
  rmmod nandsim
done < /cases/groups

# Bad blocks under Linux's BCH-8: nandsim marks block 1 bad; nandwrite writes
# plain data through the kernel's ECC around it; nanddump dumps blocks 0..3
# raw with the bad block, and through the ECC as it does by default.
insmod /modules/nandsim.ko first_id_byte=0x20 second_id_byte=0xaa third_id_byte=0x00 fourth_id_byte=0x15 \
  bch=8 badblocks=1 || say error "nandsim badblocks"
flash_erase -q /dev/mtd0 0 4
nandwrite -q /dev/mtd0 /cases/bad/plain.bin || say error "write bad/plain"
nanddump -q --noecc --oob --bb=dumpbad -l $((4 * 131072)) -f /tmp/raw /dev/mtd0 2>/dev/null
say rawsums bad dumpbad $(record_sums /tmp/raw)
# With skipbad (the default) -l counts good blocks: 3 of them end at block 3.
for bb in padbad:4 skipbad:3 default:3; do
  opt=--bb=${bb%:*}
  [ "${bb%:*}" = default ] && opt=
  nanddump -q $opt -l $((${bb#*:} * 131072)) -f /tmp/data /dev/mtd0 2>/dev/null
  say datasum bad ${bb%:*} $(wc -c < /tmp/data) $(md5sum < /tmp/data | cut -c1-32)
done
rmmod nandsim
say done
poweroff -f
