#!/bin/sh
# First process of a simulated router's namespaces (mount, PID, and network
# when asked): puts the router's tools and files at their absolute paths with
# overlay and bind mounts, then runs the command under a reaping init.
# Usage: router-enter.sh ROUTER_DIR INIT COMMAND...
set -eu
R=$1 INIT=$2
shift 2
O=$R/ovl

overlay() {  # mount point, name of its upper layer
    mkdir -p "$O/$2/upper" "$O/$2/work"
    mount -t overlay "velmo-$2" -o "lowerdir=$1,upperdir=$O/$2/upper,workdir=$O/$2/work" "$1"
}

overlay /usr usr
overlay /etc etc
overlay /var var
overlay /opt opt
overlay /dev dev
# The overlay hides the submounts of /dev; give the router fresh ones.
mount -t devpts -o newinstance,ptmxmode=0666 devpts /dev/pts
mount -t tmpfs -o mode=1777 tmpfs /dev/shm
: > /dev/log
mount --bind "$R/sim/log.sock" /dev/log

mkdir -p /var/data /var/ppp /opt/velmo_client
mount --bind "$R/root/var/data" /var/data
mount --bind "$R/root/opt/velmo_client" /opt/velmo_client
mount --bind "$R/sim/ppp" /var/ppp
mount --bind "$R/sim/uptime" /proc/uptime

ip link set lo up 2>/dev/null || true
exec "$INIT" "$@"
