#!/usr/bin/env bash
# Runs the test suite on Debian 12's own kernel: builds a small bookworm system
# from Debian's packages into build-kernel/ (debootstrap, linux-image-amd64),
# builds the project inside it with its own compiler and Python (in a chroot,
# at the host's speed), boots its kernel with qemu and runs ctest there twice,
# with /tmp on ext4 and then on tmpfs. Prints the kernel release and the
# passed and failed counts per file system; exits nonzero when a run fails.
#
#   scripts/kernel-check.sh [WORK_DIR]      (default build-kernel)
#
# Environment: KERNEL_CHECK_ACCEL (tcg, the default, or kvm: KVM boots hang on
# some virtual machines), KERNEL_CHECK_TESTS (a ctest -R selection),
# KERNEL_CHECK_TIMEOUT (seconds for the whole boot, default 10800),
# KERNEL_CHECK_MIRROR (default: Debian's main archive).
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$source_dir/build-kernel}")
accel=${KERNEL_CHECK_ACCEL:-tcg}
tests=${KERNEL_CHECK_TESTS:-}
timeout_seconds=${KERNEL_CHECK_TIMEOUT:-10800}
mirror=${KERNEL_CHECK_MIRROR:-http://deb.debian.org/debian}
rootfs=$work/rootfs

"$source_dir/scripts/install-deps.sh" kernel

if [[ $(id -u) -ne 0 ]]; then
    echo "kernel-check: debootstrap and the chroot build need root" >&2
    exit 1
fi

mkdir -p "$work"

# What the guest needs to build and run the suite: the project's own build
# packages (the list install-deps.sh keeps), the kernel and the tools the
# guest's start script uses.
mapfile -t build_packages < <(sed -n '/^packages=(/,/)/p' "$source_dir/scripts/install-deps.sh" \
    | sed 's/#.*//' | tr -d '()' | sed 's/packages=//' | tr ' ' '\n' | sed '/^$/d')
guest_packages=("${build_packages[@]}" linux-image-amd64 e2fsprogs util-linux procps man-db groff-base)

if [[ ! -f $rootfs/.kernel-check-bootstrapped ]]; then
    rm -rf "$rootfs"
    echo "kernel-check: debootstrap bookworm into $rootfs"
    debootstrap --variant=minbase --include="$(IFS=,; echo "${guest_packages[*]}")" \
        bookworm "$rootfs" "$mirror" >"$work/debootstrap.log" 2>&1 \
        || { tail -20 "$work/debootstrap.log" >&2; exit 1; }
    touch "$rootfs/.kernel-check-bootstrapped"
fi

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[i]}" || true; done
    mounted=()
}
trap cleanup EXIT
for fs in proc sys dev; do
    mount --bind "/$fs" "$rootfs/$fs"
    mounted+=("$rootfs/$fs")
done

kernel=$(find "$rootfs/boot" -maxdepth 1 -name 'vmlinuz-*' | sort | tail -1)
release=${kernel##*/vmlinuz-}
initrd=$rootfs/boot/initrd.img-$release
# The initrd must bring up the root disk and the scratch disk.
for module in virtio_pci virtio_blk ext4; do
    grep -qx "$module" "$rootfs/etc/initramfs-tools/modules" 2>/dev/null && continue
    echo "$module" >>"$rootfs/etc/initramfs-tools/modules"
    rm -f "$initrd"
done
if [[ ! -f $initrd ]]; then
    chroot "$rootfs" update-initramfs -c -k "$release" >"$work/initramfs.log" 2>&1 \
        || { tail -20 "$work/initramfs.log" >&2; exit 1; }
fi

# The sources are copied in and configured and built inside the guest's own
# system, so the build uses the guest's compiler and /usr/bin/python3.
echo "kernel-check: building in the guest's system (chroot)"
rm -rf "$rootfs/src"
mkdir -p "$rootfs/src"
git -C "$source_dir" ls-files -z --cached --others --exclude-standard \
    | (cd "$source_dir" && cpio -0 -pdm --quiet "$rootfs/src")
chroot "$rootfs" /bin/sh -c 'cd /src && cmake -S . -B build -G Ninja -DPython3_EXECUTABLE=/usr/bin/python3 >/dev/null \
    && cmake --build build' >"$work/build.log" 2>&1 || { tail -30 "$work/build.log" >&2; exit 1; }
cleanup

# The guest's start: /tmp on the scratch disk's ext4, then on a tmpfs; the
# counts go to the console between markers.
cat >"$rootfs/kernel-check-init" <<EOF
#!/bin/sh
export PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8
mountpoint -q /proc || mount -t proc proc /proc
mountpoint -q /sys || mount -t sysfs sysfs /sys
mountpoint -q /dev || mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/shm /dev/pts
mountpoint -q /dev/shm || mount -t tmpfs tmpfs /dev/shm
mountpoint -q /dev/pts || mount -t devpts devpts /dev/pts
mount -o remount,rw /
# The tests' mount namespaces need the root to be a mount point.
mountpoint -q / || mount --bind / /
run() {
    fs=\$1
    start=\$(date +%s)
    cd /src
    ctest --test-dir build -j2 --output-on-failure ${tests:+-R '$tests'} >/run-\$fs.log 2>&1
    rc=\$?
    end=\$(date +%s)
    cat /run-\$fs.log
    summary=\$(grep -E 'tests passed, [0-9]+ tests failed out of' /run-\$fs.log | tail -1)
    echo "KERNEL-CHECK \$fs release=\$(uname -r) rc=\$rc seconds=\$((end - start)) \$summary"
}
mkfs.ext4 -q -F /dev/vdb
mount -t ext4 /dev/vdb /tmp
chmod 1777 /tmp
run ext4
umount /tmp
mount -t tmpfs -o size=2g tmpfs /tmp
chmod 1777 /tmp
run tmpfs
umount /tmp
echo KERNEL-CHECK-END
sync
echo o >/proc/sysrq-trigger
EOF
chmod 755 "$rootfs/kernel-check-init"

echo "kernel-check: making the disk images"
root_image=$work/root.img
scratch_image=$work/scratch.img
rm -f "$root_image" "$scratch_image"
used=$(du -sm "$rootfs" | cut -f1)
truncate -s $((used + 2048))M "$root_image"
mkfs.ext4 -q -F -d "$rootfs" "$root_image"
truncate -s 4G "$scratch_image"

console=$work/console.log
echo "kernel-check: booting $release with qemu ($accel); the console goes to $console"
started=$(date +%s)
machine_accel=(-accel "$accel")
[[ $accel == tcg ]] && machine_accel=(-accel tcg,thread=multi)
timeout "$timeout_seconds" qemu-system-x86_64 "${machine_accel[@]}" -smp 2 -m 4G -display none -no-reboot \
    -kernel "$kernel" -initrd "$initrd" \
    -append "root=/dev/vda rw console=ttyS0 panic=-1 init=/kernel-check-init" \
    -drive "file=$root_image,if=virtio,format=raw" \
    -drive "file=$scratch_image,if=virtio,format=raw" \
    -serial "file:$console" -monitor none </dev/null >/dev/null 2>&1 || true
finished=$(date +%s)

tr -d '\r' <"$console" | grep -E '^KERNEL-CHECK' || true
echo "kernel-check: $(((finished - started) / 60)) minutes in qemu"
failed=0
for fs in ext4 tmpfs; do
    line=$(tr -d '\r' <"$console" | grep -E "^KERNEL-CHECK $fs " | tail -1 || true)
    if [[ -z $line ]]; then
        echo "kernel-check: no result for $fs" >&2
        failed=1
    elif [[ $line != *" rc=0 "* ]]; then
        tr -d '\r' <"$console" | grep -E '^\s+[0-9]+ - .*\((Failed|Timeout|SEGFAULT|Subprocess aborted)' >&2 || true
        failed=1
    fi
done
exit "$failed"
