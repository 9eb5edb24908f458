#!/bin/busybox sh
# The usbvm guest's first process. It mounts the kernel's file systems,
# starts udevd (for /dev/serial/by-id), loads the USB host controller and
# FTDI drivers, waits for the emulated adapter's tty and its by-id link, then
# runs what the host sends on the second serial port (ttyS1), one command
# at a time, for as long as the guest runs:
#
#   host:   RUN <id> <shell script, base64>
#   guest:  OUT <id>
#           <its standard output and error, base64, in lines>
#           END <id> <exit status>
#
# Before the first command it says "READY <seconds since boot> usb" (or
# "... none" when the adapter never came). The kernel's console is ttyS0.
/bin/busybox mkdir -p /proc /sys /dev /run /tmp
/bin/busybox --install -s /bin
export PATH=/bin:/usr/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mkdir -p /dev/pts /run/lock /run/udev
mount -t devpts devpts /dev/pts

/lib/systemd/systemd-udevd --daemon --resolve-names=never
for module in $(cat /lib/modules/load-order); do
    insmod "/lib/modules/$module.ko" || echo "usbvm: insmod $module failed" > /dev/kmsg
done

# Enumeration runs after the drivers load: wait for the tty and udev's link.
state=none
i=0
while [ $i -lt 1200 ]; do
    if [ -e /dev/ttyUSB0 ] && [ -n "$(ls /dev/serial/by-id 2>/dev/null)" ]; then
        state=usb
        break
    fi
    sleep 0.05
    i=$((i + 1))
done
udevadm settle --timeout=30

stty -F /dev/ttyS1 raw -echo
exec 0< /dev/ttyS1 > /dev/ttyS1 2>&1
echo "READY $(cut -d' ' -f1 /proc/uptime) $state"
while read -r word id script; do
    [ "$word" = RUN ] || continue
    echo "$script" | base64 -d > /tmp/command.sh
    sh /tmp/command.sh < /dev/null > /tmp/command.out 2>&1
    status=$?
    echo "OUT $id"
    base64 /tmp/command.out
    echo "END $id $status"
done
poweroff -f
