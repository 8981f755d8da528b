#!/bin/bash
# Builds the guest's initramfs for one architecture and kernel: busybox, the
# kernel modules the scenarios need, the monitor, the test tools and the
# libraries they load.
# Usage: mkinitramfs.sh ARCH WORK_DIR MONITOR   (reads WORK_DIR/kernel and
# WORK_DIR/userland as fetch.sh left them, writes WORK_DIR/initramfs.cpio)
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
. "$HERE/common.sh"

# Modules loaded at boot, and the ones a later scenario loads (the first
# scenarios run on a kernel without iptables).
BASE_MODULES="virtio_pci 9pnet_virtio 9p veth tcp_diag virtio_net"
IPTABLES_MODULES="iptable_filter xt_tcpudp ipt_REJECT"
# nftables, for Debian's default iptables (its nft backend) and nft itself.
NFTABLES_MODULES="nf_tables nft_compat nft_queue nfnetlink_queue"
# The containers phase: a bridge, masquerade and DNAT in native nft (no
# br_netfilter: the bridge's frames meet no IP hooks of their own).
CONTAINER_MODULES="bridge nft_chain_nat nft_masq nft_nat"
# The ipv6 phase: ip6tables-legacy's filter table (nft's inet family is nf_tables' own).
IP6TABLES_MODULES="ip6table_filter"
# A pair's guest reads its clock port, a virtio console (built in on some kernels).
PAIR_MODULES="virtio_console"

ROOT_TOOLS="/usr/bin/tcpdump /usr/sbin/xtables-legacy-multi /usr/sbin/xtables-nft-multi /usr/sbin/nft /sbin/ethtool"

stage_skeleton() {
  rm -rf "$STAGE"
  mkdir -p "$STAGE"/bin "$STAGE"/sbin "$STAGE"/usr/bin "$STAGE"/usr/sbin "$STAGE"/lib/modules \
           "$STAGE"/proc "$STAGE"/sys "$STAGE"/dev "$STAGE"/tmp "$STAGE"/run "$STAGE"/etc \
           "$STAGE"/mnt/results "$STAGE"/var/vorna-helmsight/monitor "$STAGE"/lab
  cp "$USERLAND/bin/busybox" "$STAGE/bin/busybox"
  cp "$HERE/guest/init" "$STAGE/init"
  cp "$HERE"/guest/*.sh "$STAGE/lab/"
  chmod 0755 "$STAGE/init" "$STAGE"/lab/*.sh
  # More guest files (the bench's phase and settings), when a caller names them.
  for f in ${LAB_GUEST_EXTRA:-}; do cp "$f" "$STAGE/lab/"; done
  # tcpdump and iptables look users and protocols up by name.
  echo "root:x:0:0:root:/root:/bin/sh" > "$STAGE/etc/passwd"
  echo "root:x:0:" > "$STAGE/etc/group"
}

# Copies a file of the unpacked Debian userland (or, given, the host file
# SOURCE) to PATH in the guest with every shared library it needs (and their
# needs, recursively, from the userland) and the dynamic loader.
# Usage: copy_elf PATH [SOURCE]
copy_elf() {
  [ -e "$STAGE$1" ] && return
  set -- "$1" "${2:-$USERLAND$1}"
  mkdir -p "$STAGE$(dirname "$1")"
  cp -L "$2" "$STAGE$1"
  interp=$(readelf -l "$2" 2>/dev/null | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
  [ -z "$interp" ] || copy_elf "$interp"
  for lib in $(readelf -d "$2" | sed -n 's/.*NEEDED.*\[\(.*\)\]/\1/p'); do
    found=
    for dir in /lib/$TRIPLET /usr/lib/$TRIPLET; do
      if [ -e "$USERLAND$dir/$lib" ]; then found=$dir/$lib; break; fi
    done
    [ -n "$found" ] || { echo "$1 needs $lib, not in the guest userland" >&2; exit 1; }
    copy_elf "$found"
  done
}

stage_tools() {
  for t in $ROOT_TOOLS; do copy_elf "$t"; done
  ln -sf xtables-legacy-multi "$STAGE/usr/sbin/iptables-legacy"
  ln -sf xtables-legacy-multi "$STAGE/usr/sbin/ip6tables-legacy"
  # Debian's iptables is the nft backend.
  ln -sf xtables-nft-multi "$STAGE/usr/sbin/iptables"
  # Matches and targets are plugins that iptables loads at run time.
  for p in "$USERLAND"/usr/lib/$TRIPLET/xtables/*.so; do
    copy_elf "/usr/lib/$TRIPLET/xtables/$(basename "$p")"
  done
  if [ -n "$MONITOR" ]; then
    cp "$MONITOR" "$STAGE/usr/sbin/vn_bpf_net_monitor"
  fi
  $CC -static -O2 -Wall -Wextra -o "$STAGE/lab/lab_net" "$HERE/lab_net.c"
  $CC -static -O2 -Wall -Wextra -o "$STAGE/lab/lab_fault" "$HERE/lab_fault.c"
  # The sanitizer build (dynamically linked) for the leak check of the exit path.
  if [ -n "${LAB_SANITIZED_MONITOR:-}" ]; then
    copy_elf /usr/sbin/vn_bpf_net_monitor_asan "$LAB_SANITIZED_MONITOR"
  fi
}

# Writes the modules with their dependencies in load order into NAME.order;
# xz-compressed modules are unpacked here so busybox insmod can load them.
stage_modules() {
  name=$1; shift
  : > "$STAGE/lib/modules/$name.order"
  for m in "$@"; do
    modprobe -d "$KROOT" -S "$KVER" --show-depends "$m" | while read -r kind path _; do
      [ "$kind" = insmod ] || continue
      ko=$(basename "$path" .xz)
      grep -qx "$ko" "$STAGE"/lib/modules/*.order 2>/dev/null && continue
      case $path in
        *.xz) xz -dc "$path" > "$STAGE/lib/modules/$ko" ;;
        *) cp "$path" "$STAGE/lib/modules/$ko" ;;
      esac
      echo "$ko" >> "$STAGE/lib/modules/$name.order"
    done
  done
}

pack() {
  (cd "$STAGE" && find . | LC_ALL=C sort | cpio -o -H newc --quiet) > "$WORK/initramfs.cpio"
}

ARCH=$1 WORK=$2 MONITOR=$3
TRIPLET=$(triplet "$ARCH")
USERLAND=$WORK/userland
KROOT=$WORK/kernel/root
KVER=$(cat "$WORK/kernel/kver")
STAGE=$WORK/initramfs
case $ARCH in
  amd64) CC=${CC_AMD64:-x86_64-linux-gnu-gcc} ;;
  arm64) CC=${CC_ARM64:-aarch64-linux-gnu-gcc} ;;
esac
mkdir -p "$WORK"
stage_skeleton
stage_tools
stage_modules base $BASE_MODULES
stage_modules iptables $IPTABLES_MODULES
stage_modules nftables $NFTABLES_MODULES
stage_modules containers $CONTAINER_MODULES
stage_modules ip6tables $IP6TABLES_MODULES
stage_modules pair $PAIR_MODULES
pack
