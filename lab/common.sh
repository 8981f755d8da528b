# Shared settings of the lab scripts (sourced, not run).

# Downloads live outside the work tree so a fresh clone or `make clean` keeps them.
LAB_CACHE=${LAB_CACHE:-/var/cache/vn_bpf_net_monitor-lab}

# Guest userland: the tools the scenarios run, and every library they load.
GUEST_PACKAGES="busybox-static libc6 tcpdump libpcap0.8 libssl3 libdbus-1-3 libsystemd0
  libcap2 libgcrypt20 libgpg-error0 liblz4-1 liblzma5 libzstd1
  iptables libip4tc2 libip6tc2 libxtables12 libmnl0 libnetfilter-conntrack3
  libnfnetlink0 libnftnl11 ethtool
  nftables libnftables1 libedit2 libbsd0 libmd0 libtinfo6 libgmp10 libjansson4"

# The runtime of the sanitizer build of the monitor, which the guest of the
# host's own architecture runs for the leak check of its exit path.
SANITIZER_PACKAGES="libasan8 libubsan1 libstdc++6 libgcc-s1 libbpf1 libelf1 zlib1g"

triplet() {
  case $1 in
    amd64) echo x86_64-linux-gnu ;;
    arm64) echo aarch64-linux-gnu ;;
    *) echo "unknown architecture: $1" >&2; return 1 ;;
  esac
}

# apt names foreign-architecture packages with a suffix; native ones without.
apt_name() {
  if [ "$2" = "$(dpkg --print-architecture)" ]; then echo "$1"; else echo "$1:$2"; fi
}

log() { echo "lab: $*" >&2; }

# The monitor statically linked for the guest's architecture ARCH, built
# through the project's own targets (log in OUT) unless LAB_MONITOR names a
# binary; sets MONITOR. SRC is the source tree.
build_monitor() {
  if [ -n "${LAB_MONITOR:-}" ]; then MONITOR=$LAB_MONITOR; return; fi
  case $ARCH in
    amd64) target=static dir=build-static ;;
    arm64) target=cross-arm64 dir=build-arm64 ;;
  esac
  make -C "$SRC" --no-print-directory "$target" > "$OUT/monitor-build-$ARCH.log" 2>&1 \
    || { tail -n 30 "$OUT/monitor-build-$ARCH.log" >&2; exit 1; }
  MONITOR=$SRC/$dir/vn_bpf_net_monitor
}
