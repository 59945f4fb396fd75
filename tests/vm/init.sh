#!/bin/sh
# The guest's first process (busybox): the host's own file tree over 9p,
# read-only, under a tmpfs overlay; the results share writable; then the
# guest script named on the kernel's command line runs as the new root's init.
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules.order); do insmod "/modules/$m.ko" || echo "init: $m did not load"; done
mkdir -p /lower /upper /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 root /lower || { echo "init: no 9p root"; poweroff -f; }
mount -t tmpfs -o mode=0755,size=1500m tmpfs /upper
mkdir -p /upper/u /upper/w
mount -t overlay -o lowerdir=/lower,upperdir=/upper/u,workdir=/upper/w overlay /newroot \
    || { echo "init: no overlay"; poweroff -f; }
mkdir -p /newroot/vmshare
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 share /newroot/vmshare || echo "init: no share"
guest=$(sed -n 's/.*skyportal\.guest=\([^ ]*\).*/\1/p' /proc/cmdline)
umount /proc /sys
mount --move /dev /newroot/dev
exec switch_root /newroot /bin/bash "$guest"
