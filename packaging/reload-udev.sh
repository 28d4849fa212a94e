#!/bin/sh
# Makes udev apply the programmer's access rule to programmers that are already plugged in, and
# drop it again after removal; only FTDI devices are looked at again. Where udev is not running
# (a chroot, a container, an image build) there is nothing to reload: that never fails the
# package operation.
set -e
if command -v udevadm >/dev/null 2>&1; then
    udevadm control --reload-rules >/dev/null 2>&1 &&
        udevadm trigger --subsystem-match=usb --attr-match=idVendor=0403 >/dev/null 2>&1 || true
fi
exit 0
