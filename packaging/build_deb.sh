#!/bin/sh
# One Debian package from a finished build folder:
#   packaging/build_deb.sh ARCH BUILD_DIR OUT_DIR
# The programs come from BUILD_DIR (the reader only when its source is in
# the tree), manual pages and completions from whatever packaging/ holds.
set -eu

PKG=vn-bpf-net-monitor
MAINTAINER='Seed 3406249a maintainers <maintainers@users.noreply.c-seed-3406249a.example>'
TOP=$(cd "$(dirname "$0")/.." && pwd)
ARCH=$1
BUILD=$2
OUT=$3

# The one place the version is kept: the project line of CMakeLists.txt.
read_version() {
    VERSION=$(sed -n 's/^project(vn_bpf_net_monitor VERSION \([0-9.]*\) .*/\1/p' "$TOP/CMakeLists.txt")
    [ -n "$VERSION" ] || { echo "no version in CMakeLists.txt" >&2; exit 1; }
}

# File times from the last commit, so two builds of one tree are identical.
read_epoch() {
    SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$TOP" log -1 --format=%ct 2>/dev/null || date +%s)}
    export SOURCE_DATE_EPOCH
}

new_stage() {
    STAGE=$OUT/stage-$ARCH
    DOC=$STAGE/usr/share/doc/$PKG
    rm -rf "$STAGE"
    mkdir -p "$STAGE/DEBIAN" "$DOC"
}

# Debian ships programs stripped; the debug sections would triple the size.
install_program() {
    install -D -m 0755 "$1" "$2"
    "$(dpkg-architecture -a "$ARCH" -qDEB_HOST_GNU_TYPE 2>/dev/null)-strip" \
        --remove-section=.comment --remove-section=.note "$2"
}

stage_programs() {
    install_program "$BUILD/vn_bpf_net_monitor" "$STAGE/usr/sbin/vn_bpf_net_monitor"
    [ -d "$TOP/vn_bpf_net_report" ] || return 0
    [ -f "$BUILD/vn_bpf_net_report" ] || { echo "$BUILD/vn_bpf_net_report not built" >&2; exit 1; }
    install_program "$BUILD/vn_bpf_net_report" "$STAGE/usr/bin/vn_bpf_net_report"
}

stage_manuals() {
    for page in "$TOP"/packaging/*.[1-8]; do
        [ -f "$page" ] || continue
        dir=$STAGE/usr/share/man/man${page##*.}
        mkdir -p "$dir"
        gzip -9n <"$page" >"$dir/$(basename "$page").gz"
    done
}

stage_completions() {
    dir=$STAGE/usr/share/bash-completion/completions
    for file in "$TOP"/packaging/completion/*; do
        [ -f "$file" ] && install -D -m 0644 "$file" "$dir/$(basename "$file")"
    done
    return 0
}

stage_docs() {
    install -m 0644 "$TOP/README.md" "$DOC/README.md"
    gzip -9n "$DOC/README.md"
    install -m 0644 "$TOP/packaging/copyright" "$DOC/copyright"
    printf '%s (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
        "$PKG" "$VERSION" "$VERSION" "$MAINTAINER" "$(date -R -u -d "@$SOURCE_DATE_EPOCH")" |
        gzip -9n >"$DOC/changelog.gz"
    install -D -m 0644 "$TOP/packaging/lintian-overrides" "$STAGE/usr/share/lintian/overrides/$PKG"
}

# The monitor makes its own directory below this one, but not this one.
stage_data_dir() {
    install -d -m 0755 "$STAGE/var/vorna-helmsight/monitor"
}

# The one maintainer script: purge takes the error log away.
stage_maintainer_scripts() {
    install -m 0755 "$TOP/packaging/postrm" "$STAGE/DEBIAN/postrm"
}

# Computed from the staged programs: nothing for a static build.
compute_depends() {
    tmp=$(mktemp -d)
    mkdir "$tmp/debian"
    printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$PKG" "$PKG" >"$tmp/debian/control"
    programs=$(find "$STAGE/usr/sbin" "$STAGE/usr/bin" -type f 2>/dev/null || :)
    # shellcheck disable=SC2086 # one argument per program
    if ! (cd "$tmp" && DEB_HOST_ARCH=$ARCH dpkg-shlibdeps -O $programs) >"$tmp/out" 2>"$tmp/err"; then
        cat "$tmp/err" >&2
        exit 1
    fi
    DEPENDS=$(sed -n 's/^shlibs:Depends=//p' "$tmp/out")
    rm -rf "$tmp"
}

write_control() {
    size=$(du -sk --apparent-size --exclude=DEBIAN "$STAGE" | cut -f1)
    {
        echo "Package: $PKG"
        echo "Version: $VERSION"
        echo "Architecture: $ARCH"
        echo "Maintainer: $MAINTAINER"
        echo "Installed-Size: $size"
        [ -z "$DEPENDS" ] || echo "Depends: $DEPENDS"
        echo "Section: net"
        echo "Priority: optional"
        echo "Description: trace where IPv4 packets go inside the Linux kernel"
        echo " vn_bpf_net_monitor attaches eBPF kprobes to the functions an IPv4 packet"
        echo " passes in the kernel: driver hand-off, device receive, IP input and"
        echo " output, TCP, UDP and ICMP input, device transmit, the iptables table"
        echo " walk and the TCP listener lookup. For every packet of the chosen"
        echo " protocol, host and port it writes one fixed-width row per function."
        if [ -e "$STAGE/usr/bin/vn_bpf_net_report" ]; then
            echo " ."
            echo " vn_bpf_net_report reads such traces back."
        fi
    } >"$STAGE/DEBIAN/control"
}

write_md5sums() {
    (cd "$STAGE" && find usr -type f | LC_ALL=C sort | xargs md5sum) >"$STAGE/DEBIAN/md5sums"
    chmod 0644 "$STAGE/DEBIAN/control" "$STAGE/DEBIAN/md5sums"
}

build_package() {
    find "$STAGE" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$STAGE" "$OUT/${PKG}_${VERSION}_$ARCH.deb" >/dev/null
    rm -rf "$STAGE"
    echo "$OUT/${PKG}_${VERSION}_$ARCH.deb"
}

mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
umask 022
read_version
read_epoch
new_stage
stage_programs
stage_manuals
stage_completions
stage_docs
stage_data_dir
stage_maintainer_scripts
compute_depends
write_control
write_md5sums
build_package
