#!/bin/bash
# Downloads and unpacks one Debian 12 kernel and the guest userland for an
# architecture into the lab cache; never installs them on the host.
# Usage: fetch.sh ARCH SERIES   (ARCH amd64|arm64, SERIES 6.1|6.12)
# Prints the kernel's folder in the cache on standard output.
set -euo pipefail
. "$(dirname "$0")/common.sh"

ensure_package_lists() {
  # A fresh host has no package lists for the foreign architecture yet.
  if ! apt-cache show "$(apt_name busybox-static "$ARCH")" >/dev/null 2>&1; then
    dpkg --print-foreign-architectures | grep -qx "$ARCH" || [ "$ARCH" = "$(dpkg --print-architecture)" ] \
      || dpkg --add-architecture "$ARCH"
    apt-get update -q >&2
  fi
}

# The ABI number moves with every security update: ask the meta package.
resolve_kernel_package() {
  case $SERIES in
    6.1) meta=linux-image-$ARCH suffix= ;;
    6.12) meta=linux-image-6.12-$ARCH suffix=-unsigned ;;
    *) echo "unknown kernel series: $SERIES" >&2; exit 1 ;;
  esac
  pkg=$(apt-cache depends "$(apt_name "$meta" "$ARCH")" \
        | sed -n 's/^ *Depends: \(linux-image-[^:]*\).*/\1/p' | head -n 1)
  [ -n "$pkg" ] || { echo "cannot resolve $meta" >&2; exit 1; }
  echo "$pkg$suffix"
}

# apt-get download writes into the current folder; a partial file never
# carries the final name, so an existing .deb is complete.
download() {
  dir=$1; shift
  mkdir -p "$dir"
  # apt drops root and downloads as _apt where it can; let it write here.
  chown _apt "$dir" 2>/dev/null || true
  names=
  for p in "$@"; do
    ls "$dir/${p}_"*.deb >/dev/null 2>&1 || names="$names $(apt_name "$p" "$ARCH")"
  done
  [ -z "$names" ] || (cd "$dir" && apt-get download -q $names >&2)
}

fetch_kernel() {
  pkg=$(resolve_kernel_package)
  KDIR=$LAB_CACHE/kernel/$ARCH/$pkg
  [ -f "$KDIR/done" ] && return
  log "fetching $pkg ($ARCH)"
  rm -rf "$KDIR"
  mkdir -p "$KDIR/root"
  download "$LAB_CACHE/debs/$ARCH" "$pkg"
  dpkg-deb -x "$LAB_CACHE/debs/$ARCH/${pkg}_"*.deb "$KDIR/root"
  kver=$(ls "$KDIR/root/lib/modules")
  depmod -b "$KDIR/root" "$kver"
  echo "$kver" > "$KDIR/kver"
  extract_kernel_image "$KDIR" "$kver"
  touch "$KDIR/done"
}

# amd64: boot the ELF vmlinux through its PVH note, which skips the firmware
# and halves the boot time; the bzImage carries it compressed.
# arm64: QEMU loads the gzip-compressed Image itself.
extract_kernel_image() {
  vmlinuz=$1/root/boot/vmlinuz-$2
  if [ "$ARCH" = arm64 ]; then
    cp "$vmlinuz" "$1/kernel"
    return
  fi
  # The boot header gives where the compressed payload starts (setup
  # sectors at 0x1f1, payload offset and length at 0x248), its magic
  # which decompressor.
  setup=$(od -An -tu1 -j $((0x1f1)) -N1 "$vmlinuz" | tr -d ' ')
  off=$(( (setup + 1) * 512 + $(od -An -tu4 -j $((0x248)) -N4 "$vmlinuz" | tr -d ' ') ))
  len=$(od -An -tu4 -j $((0x24c)) -N4 "$vmlinuz" | tr -d ' ')
  case $(od -An -tx1 -j $off -N4 "$vmlinuz" | tr -d ' ') in
    fd377a58) unpack="xz -dc" ;;
    28b52ffd) unpack="zstd -dc" ;;
    1f8b*) unpack="gzip -dc" ;;
    *) echo "unknown compression in $vmlinuz" >&2; exit 1 ;;
  esac
  # The build appends the uncompressed size (4 bytes) to the payload.
  tail -c +$((off + 1)) "$vmlinuz" | head -c $((len - 4)) | $unpack > "$1/kernel"
  file -b "$1/kernel" | grep -q '^ELF 64-bit' || { echo "no vmlinux in $vmlinuz" >&2; exit 1; }
}

fetch_userland() {
  UDIR=$LAB_CACHE/userland/$ARCH
  packages=$GUEST_PACKAGES
  [ "$ARCH" != "$(dpkg --print-architecture)" ] || packages="$packages $SANITIZER_PACKAGES"
  # The marker names what was unpacked: a longer list unpacks again.
  [ "$(cat "$UDIR/done" 2>/dev/null)" = "$(echo $packages)" ] && return
  log "fetching guest userland ($ARCH)"
  rm -rf "$UDIR/root"
  mkdir -p "$UDIR/root"
  download "$LAB_CACHE/debs/$ARCH" $packages
  for p in $packages; do
    dpkg-deb -x "$(ls "$LAB_CACHE/debs/$ARCH/${p}_"*.deb | tail -n 1)" "$UDIR/root"
  done
  echo $packages > "$UDIR/done"
}

ARCH=$1 SERIES=$2
triplet "$ARCH" >/dev/null
ensure_package_lists
fetch_userland
fetch_kernel
echo "$KDIR"
