#!/usr/bin/env bash
# A subscriber online on a real PPP link: Debian's own kernel in QEMU
# (software emulation, no KVM), on this machine's own file tree shared
# read-only over 9p under a tmpfs overlay, so no guest image is built or
# fetched. The guest (guest.sh) installs the package that scripts/package
# makes of this build and dials the operator through the real program; each
# of its checks comes back as a PASS or FAIL line on a writable 9p share.
# Exit codes: 0 passed, 1 failed, 77 skipped (a tool is not installed).
#   tests/vm/run.sh BUILD_DIR
set -uo pipefail
build=$(realpath "${1:?BUILD_DIR}")
src=$(realpath "$(dirname "$0")/../..")
kver=$(uname -r)
skip() { echo "SKIP: $*"; exit 77; }

# The guest runs this machine's own programs and Debian's kernel.
kernel=""
for k in /boot/vmlinuz-"$kver" $(ls -1v /boot/vmlinuz-* 2>/dev/null | tac); do
    [ -r "$k" ] && [ -d "/lib/modules/${k#/boot/vmlinuz-}/kernel" ] && { kernel=$k; break; }
done
[ -n "$kernel" ] || skip "no kernel with its modules in /boot and /lib/modules (scripts/setup installs linux-image-amd64)"
kver=${kernel#/boot/vmlinuz-}
for tool in qemu-system-x86_64 busybox modprobe socat dnsmasq nginx pppd curl Xvfb openbox trayer xdotool import compare; do
    command -v "$tool" >/dev/null || [ -x "/usr/sbin/$tool" ] || skip "$tool is not installed (scripts/setup installs it)"
done
busybox=$(command -v busybox)
! readelf -l "$busybox" 2>/dev/null | grep -q "program interpreter" || skip "$busybox is not static (scripts/setup installs busybox-static)"

work=$(mktemp -d "${TMPDIR:-/tmp}/skyportal-vm.XXXXXX")
trap 'rm -rf "$work"' EXIT
share=$work/share
mkdir -p "$share" "$work/initrd/bin" "$work/initrd/modules" "$work/initrd/proc" "$work/initrd/sys" "$work/initrd/dev"

t0=$(date +%s)
bash "$src/scripts/package" --no-build --no-lintian "$build" "$share" >"$work/package.log" 2>&1 \
    || { cat "$work/package.log"; echo "FAIL: scripts/package"; exit 1; }

# dpkg's database as one file: the guest reads it at once instead of its
# thousands of small files over 9p, one by one.
tar -C / -cf "$share/dpkg-db.tar" var/lib/dpkg

# The initramfs: busybox, the modules that reach the shared tree, init.sh.
cp "$busybox" "$work/initrd/bin/busybox"
for applet in sh mount umount insmod sed cat mkdir switch_root poweroff; do ln -s busybox "$work/initrd/bin/$applet"; done
modprobe -S "$kver" --show-depends -a virtio_pci 9pnet_virtio 9p overlay | awk '$1 == "insmod" && !seen[$2]++ {print $2}' \
    >"$work/modules"
[ -s "$work/modules" ] || skip "the kernel $kver has no 9p, virtio or overlay modules"
while read -r m; do
    cp "$m" "$work/initrd/modules/"
    basename "$m" .ko >>"$work/initrd/modules.order"
done <"$work/modules"
install -m 0755 "$src/tests/vm/init.sh" "$work/initrd/init"
(cd "$work/initrd" && find . | busybox cpio -o -H newc 2>/dev/null) >"$work/initrd.cpio"

echo "booting $kernel under emulation"
# TCG on a machine whose cores are busy (CI under load) runs the guest two
# to three times slower than on an idle one: the bound is for a hung guest.
timeout 600 qemu-system-x86_64 -machine pc,accel=tcg -cpu max -smp 2 -m 2048 \
    -display none -monitor none -serial file:"$share/console.log" -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 panic=-1 quiet skyportal.guest=$src/tests/vm/guest.sh" \
    -fsdev local,id=root,path=/,security_model=none,readonly=on,multidevs=remap \
    -device virtio-9p-pci,fsdev=root,mount_tag=root \
    -fsdev local,id=share,path="$share",security_model=none \
    -device virtio-9p-pci,fsdev=share,mount_tag=share 2>"$work/qemu.err"
rc=$?
[ "$rc" -eq 0 ] || { echo "qemu ended with $rc"; grep -v "Multiple devices" "$work/qemu.err"; }

out=$build/tests/vm/out
rm -rf "$out"
mkdir -p "$out"
cp -r "$share"/. "$out"/ 2>/dev/null
rm -f "$out"/*.deb "$out"/dpkg-db.tar
echo "guest's log: $out/guest.log"
cat "$share/guest.log" 2>/dev/null | sed 's/^/  guest: /'
echo "--- results ($(( $(date +%s) - t0 )) s) ---"
cat "$share/results" 2>/dev/null
grep -q '^END$' "$share/results" 2>/dev/null || { echo "FAIL: the guest did not finish"; tail -n 30 "$share/console.log"; exit 1; }
grep -q '^PASS' "$share/results" || { echo "FAIL: no check passed"; exit 1; }
! grep -q '^FAIL' "$share/results"
