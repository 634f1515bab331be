#!/usr/bin/env bash
# Proves nandconv against Linux itself: boots Debian's kernel under qemu with
# the nandsim module (a simulated NAND chip) and mtd-utils in a small
# initramfs, has the kernel read back nandconv's images through its software
# Hamming and BCH, has it write plain data with its own ECC, and checks both
# ways with nandconv on the host.
#
#   tests/linux/run.sh NANDCONV      (CTest runs it under the label "linux")
#
# Installs what it needs when missing (Debian packages). Environment:
# LINUX_TEST_KEEP=1 keeps the scratch folder.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
nandconv=$(realpath "${1:?usage: run.sh NANDCONV}")

needed=(qemu-system-x86 linux-image-amd64 busybox-static mtd-utils cpio)
missing=()
for pkg in "${needed[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" > /dev/null
fi

# The kernel the test runs: the newest one installed, named with its package
# version so that a changed kernel shows.
vmlinuz=$(ls -v /boot/vmlinuz-* | tail -n 1)
version=${vmlinuz#/boot/vmlinuz-}
echo "kernel $version, package linux-image-$version $(dpkg-query -W -f='${Version}' "linux-image-$version")"
echo "qemu $(dpkg-query -W -f='${Version}' qemu-system-x86), mtd-utils $(dpkg-query -W -f='${Version}' mtd-utils)"

work=$(mktemp -d "${TMPDIR:-/tmp}/linuxnand.XXXXXX")
[ "${LINUX_TEST_KEEP:-}" = 1 ] && echo "scratch: $work" || trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root"/{bin,sbin,usr/sbin,modules,proc,sys,dev,tmp}
cp /bin/busybox "$root/bin/"
# nandflipbits reads errno without clearing it, and in the guest its first
# malloc leaves one there: a preloaded constructor makes that first
# allocation and clears errno.
mkdir -p "$root/lib"
printf '%s\n' '#include <errno.h>' '#include <stdlib.h>' \
  '__attribute__((constructor)) static void clear(void) { free(malloc(4096)); errno = 0; }' |
  gcc -shared -fPIC -x c -o "$root/lib/clear-errno.so" -
cp "$here/init.sh" "$root/init"
chmod +x "$root/init"

# nandsim and what modinfo says it depends on, dependencies first; the guest
# loads them in the order of modules/order.
add_module() {
  local m=$1 dep
  [ -e "$root/modules/$m.ko" ] && return
  for dep in $(modinfo -k "$version" -F depends "$m" | tr ',' ' '); do
    add_module "$dep"
  done
  local f
  f=$(modinfo -k "$version" -F filename "$m")
  case $f in
    *.ko.xz) xz -dc "$f" > "$root/modules/$m.ko" ;;
    *.ko.zst) zstd -qdc "$f" > "$root/modules/$m.ko" ;;
    *) cp "$f" "$root/modules/$m.ko" ;;
  esac
  [ "$m" = nandsim ] || echo "$m" >> "$root/modules/order"
}
add_module nandsim
echo "modules: $(tr '\n' ' ' < "$root/modules/order")nandsim"
for t in nandwrite nanddump flash_erase nandflipbits; do
  bin=$(command -v "$t")
  cp "$bin" "$root/usr/sbin/"
  for lib in $(ldd "$bin" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -n "$lib" "$root$lib"
  done
done

python3 "$here/cases.py" make "$nandconv" "$root/cases"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) > "$work/initramfs.gz"

# Software emulation: KVM, where it exists here, hangs in the container.
timeout 600 qemu-system-x86_64 -accel tcg -m 768 -nographic -no-reboot \
  -kernel "$vmlinuz" -initrd "$work/initramfs.gz" \
  -append "console=ttyS0 panic=-1 quiet" > "$work/console.log" 2>&1 || true
grep -q '^@@ done' "$work/console.log" || { echo "the guest did not finish:"; tail -n 30 "$work/console.log"; exit 1; }

python3 "$here/cases.py" judge "$nandconv" "$root/cases" "$work/console.log"
