#!/bin/bash
# Downloads one Debian kernel and the guest userland for an architecture into
# the lab cache, then unpacks them into a work folder; never installs them on
# the host. Only the downloaded .deb files are cached: everything derived from
# them is made again on every run, so a fresh machine runs the same steps.
# Usage: fetch.sh ARCH SERIES WORK   (ARCH amd64|arm64, SERIES 6.1|6.12|backports)
# Leaves WORK/kernel/{root,kver,kernel,package} and WORK/userland.
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

# The newest kernel of Debian 13's backports suite comes through a private
# package list: the host's own apt sources are never changed. Its one line
# takes the mirror the host already uses.
BACKPORTS=$LAB_CACHE/apt-backports
backports_apt() {
  cmd=$1; shift
  "$cmd" -o Dir::Etc::SourceList="$BACKPORTS/sources.list" -o Dir::Etc::SourceParts=/dev/null \
    -o Dir::State::Lists="$BACKPORTS/lists" -o Dir::Cache="$BACKPORTS/cache" \
    -o APT::Architectures::=amd64 -o APT::Architectures::=arm64 "$@"
}

update_backports_list() {
  mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -n 1)
  [ -n "$mirror" ] || mirror=$(sed -n 's/^deb \(\[[^]]*\] \)\{0,1\}\([^ ]*\) .*/\2/p' /etc/apt/sources.list | head -n 1)
  [ -n "$mirror" ] || { echo "no Debian mirror in the host's apt sources" >&2; exit 1; }
  mkdir -p "$BACKPORTS/lists/partial" "$BACKPORTS/cache/archives/partial"
  echo "deb [arch=amd64,arm64] $mirror trixie-backports main" > "$BACKPORTS/sources.list"
  backports_apt apt-get update -q >&2
}

# Which apt to ask for a series' packages.
series_apt() {
  if [ "$SERIES" = backports ]; then backports_apt "$@"; else "$@"; fi
}
host_apt() { "$@"; }

# The ABI number moves with every security update: ask the meta package for
# the image package, then take what that one needs of its own version (since
# 6.19 the image is split into linux-binary, linux-modules and linux-base;
# older kernels are one package).
resolve_kernel_packages() {
  case $SERIES in
    6.1) meta=linux-image-$ARCH ;;
    6.12) meta=linux-image-6.12-$ARCH ;;
    backports) update_backports_list; meta=linux-image-$ARCH ;;
    *) echo "unknown kernel series: $SERIES" >&2; exit 1 ;;
  esac
  image=$(series_apt apt-cache depends "$(apt_name "$meta" "$ARCH")" \
          | sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -n 1)
  [ -n "$image" ] || { echo "cannot resolve $meta" >&2; exit 1; }
  # Debian 12's 6.12 images are signed wrappers; the unsigned one has the files.
  if [ "$SERIES" = 6.12 ]; then image=$image-unsigned; fi
  abi=${image#linux-image-}
  abi=${abi%-unsigned}
  parts=$(series_apt apt-cache depends "$(apt_name "$image" "$ARCH")" \
          | sed -n "s/^ *Depends: \(linux-\(binary\|modules\|base\)-$abi\)\(:.*\)\{0,1\}\$/\1/p" | sort -u)
  echo "$image" $parts
}

# apt-get download writes into the current folder; a partial file never
# carries the final name, so an existing .deb is complete. APT is the apt to
# ask: the kernel's series for the kernel, the host's own sources for the
# userland (the backports list has no tcpdump, iptables, ...).
# Usage: download APT DIR PACKAGE...
download() {
  apt=$1 dir=$2; shift 2
  mkdir -p "$dir"
  # apt drops root and downloads as _apt where it can; let it write here.
  chown _apt "$dir" 2>/dev/null || true
  names=
  for p in "$@"; do
    ls "$dir/${p}_"*.deb >/dev/null 2>&1 || names="$names $(apt_name "$p" "$ARCH")"
  done
  [ -z "$names" ] || (cd "$dir" && $apt apt-get download -q $names >&2)
}

newest_deb() { ls "$1/${2}_"*.deb | sort -V | tail -n 1; }

fetch_kernel() {
  packages=$(resolve_kernel_packages)
  set -- $packages
  log "kernel $1 ($ARCH)"
  download series_apt "$LAB_CACHE/debs/$ARCH" "$@"
  KDIR=$WORK/kernel
  rm -rf "$KDIR"
  mkdir -p "$KDIR/root"
  for p in "$@"; do dpkg-deb -x "$(newest_deb "$LAB_CACHE/debs/$ARCH" "$p")" "$KDIR/root"; done
  echo "$1" > "$KDIR/package"
  # Debian 13 merged /usr: modules under usr/lib/modules; the module tools
  # look under lib/modules.
  [ -e "$KDIR/root/lib" ] || ln -s usr/lib "$KDIR/root/lib"
  kver=$(ls "$KDIR/root/lib/modules")
  [ "$(echo "$kver" | wc -w)" = 1 ] || { echo "not one kernel in $packages: $kver" >&2; exit 1; }
  depmod -b "$KDIR/root" "$kver"
  echo "$kver" > "$KDIR/kver"
  extract_kernel_image "$KDIR" "$kver"
}

# The image stands in boot/ (one package) or beside the modules (split).
kernel_image_of() {
  for f in "$1/root/boot/vmlinuz-$2" "$1/root/lib/modules/$2/vmlinuz"; do
    [ -e "$f" ] && { echo "$f"; return; }
  done
  echo "no vmlinuz for $2" >&2
  exit 1
}

# amd64: boot the ELF vmlinux through its PVH note, which skips the firmware
# and halves the boot time; the bzImage carries it compressed.
# arm64: QEMU loads the Image itself, gzip-compressed or not.
extract_kernel_image() {
  vmlinuz=$(kernel_image_of "$1" "$2")
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
    28b52ffd) unpack="zstd -dcq" ;;
    1f8b*) unpack="gzip -dc" ;;
    *) echo "unknown compression in $vmlinuz" >&2; exit 1 ;;
  esac
  # One reader takes exactly the payload (the build appends the uncompressed
  # size, 4 bytes, after it): no reader of a pipe stops early, so no writer
  # dies of SIGPIPE under pipefail.
  dd if="$vmlinuz" iflag=skip_bytes,count_bytes skip="$off" count=$((len - 4)) bs=1M status=none \
    | $unpack > "$1/kernel"
  file -b "$1/kernel" | grep -q '^ELF 64-bit' || { echo "no vmlinux in $vmlinuz" >&2; exit 1; }
}

fetch_userland() {
  packages=$GUEST_PACKAGES
  [ "$ARCH" != "$(dpkg --print-architecture)" ] || packages="$packages $SANITIZER_PACKAGES"
  download host_apt "$LAB_CACHE/debs/$ARCH" $packages
  rm -rf "$WORK/userland"
  mkdir -p "$WORK/userland"
  for p in $packages; do
    dpkg-deb -x "$(newest_deb "$LAB_CACHE/debs/$ARCH" "$p")" "$WORK/userland"
  done
}

ARCH=$1 SERIES=$2 WORK=$3
triplet "$ARCH" >/dev/null
mkdir -p "$WORK"
ensure_package_lists
fetch_userland
fetch_kernel
