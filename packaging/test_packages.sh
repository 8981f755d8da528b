#!/bin/bash
# The Debian packages as a user meets them:
#   packaging/test_packages.sh DEB_DIR BUILT_MONITOR
# manual pages, lintian, both packages' contents, and the amd64 package
# installed, used, removed and purged. Installs happen in a private mount
# namespace whose /usr, /var and /etc are overlays on a tmpfs, so neither
# this host's files nor its dpkg database ever change.
set -eu

TOP=$(cd "$(dirname "$0")/.." && pwd)
PKG=vn-bpf-net-monitor
PASSED=${PASSED:-0}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

pass() {
    PASSED=$((PASSED + 1))
    echo "ok $PASSED - $*"
}

one_deb() {
    set -- "$DEB_DIR/${PKG}_"*"_$1.deb"
    [ $# -eq 1 ] && [ -f "$1" ] || fail "want exactly one $PKG package for that architecture: $*"
    echo "$1"
}

# ---- outside the namespace ----------------------------------------------------

check_manual_pages() {
    for page in "$TOP"/packaging/*.[1-8]; do
        warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$page: $warnings"
        pass "$(basename "$page") renders without warnings"
    done
}

# Every help text of the program, word for word, in its manual page.
check_help_in_manual() {
    page=$(MANWIDTH=500 man -l "$TOP/packaging/vn_bpf_net_monitor.8" 2>/dev/null)
    "$BUILT" --help | sed -n 's/^  -.*  \([^ ].*\)$/\1/p' >"$WORK/help-texts"
    [ "$(wc -l <"$WORK/help-texts")" -ge 5 ] || fail "help texts not found in --help"
    while IFS= read -r text; do
        printf '%s\n' "$page" | grep -qF -- "$text" || fail "manual page lacks help text: $text"
    done <"$WORK/help-texts"
    pass "the manual page holds every help text of --help"
}

check_lintian() {
    lintian --allow-root --pedantic -I -E --fail-on error,warning "$AMD64" "$ARM64" ||
        fail "lintian"
    pass "lintian: no error or warning on either package"
}

extract() {
    rm -rf "$WORK/x"
    mkdir "$WORK/x"
    dpkg-deb -x "$1" "$WORK/x"
}

check_architectures() {
    extract "$ARM64"
    file -b "$WORK/x/usr/sbin/vn_bpf_net_monitor" | grep -q 'pie executable, ARM aarch64.*static-pie linked' ||
        fail "arm64 monitor: $(file -b "$WORK/x/usr/sbin/vn_bpf_net_monitor")"
    [ "$(dpkg-deb -f "$ARM64" Architecture)" = arm64 ] || fail "arm64 control"
    extract "$AMD64"
    file -b "$WORK/x/usr/sbin/vn_bpf_net_monitor" | grep -q 'pie executable, x86-64.*static-pie linked' ||
        fail "amd64 monitor: $(file -b "$WORK/x/usr/sbin/vn_bpf_net_monitor")"
    pass "arm64 holds a static-pie AArch64 monitor, amd64 a static-pie x86-64 one"
}

# Files do the whole job but for purge, which takes the error log away:
# nothing runs at install.
check_scripts() {
    for deb in "$AMD64" "$ARM64"; do
        members=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's|^\./||; /^$/d' | sort | tr '\n' ' ')
        [ "$members" = 'control md5sums postrm ' ] || fail "$deb control members: $members"
    done
    pass "postrm is the only maintainer script"
}

# What dpkg-shlibdeps finds in the programs shipped is what Depends says.
check_depends() {
    for deb in "$AMD64" "$ARM64"; do
        arch=$(dpkg-deb -f "$deb" Architecture)
        extract "$deb"
        mkdir -p "$WORK/x/debian"
        printf 'Source: %s\n\nPackage: %s\nArchitecture: any\n' "$PKG" "$PKG" >"$WORK/x/debian/control"
        want=$(cd "$WORK/x" && DEB_HOST_ARCH=$arch dpkg-shlibdeps -O usr/*bin/* 2>/dev/null |
            sed -n 's/^shlibs:Depends=//p')
        [ "$(dpkg-deb -f "$deb" Depends)" = "$want" ] || fail "$arch Depends is not '$want'"
        pass "$arch Depends is what the programs need: '${want:-none}'"
    done
}

# ---- inside the namespace -----------------------------------------------------

shield_host() {
    mount -t tmpfs tmpfs "$WORK"
    for dir in usr var etc; do
        mkdir "$WORK/$dir.upper" "$WORK/$dir.work"
        mount -t overlay overlay \
            -o "lowerdir=/$dir,upperdir=$WORK/$dir.upper,workdir=$WORK/$dir.work" "/$dir"
    done
}

# Paths of the package, one a line, without the leading dot.
package_paths() {
    dpkg-deb -c "$1" | awk '{ print $6 }' | sed 's|^\.||; s|/$||; /^$/d'
}

# An empty root with an empty dpkg database: everything in it is the package's.
check_scratch_root() {
    root=$WORK/root
    mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
    : >"$root/var/lib/dpkg/status"
    dpkg --root="$root" -i "$AMD64" >/dev/null || fail "dpkg -i into the scratch root"
    (cd "$root" && find usr var -path var/lib -prune -o -print | sed 's|^|/|' | sort) >"$WORK/found"
    package_paths "$AMD64" | sort >"$WORK/listed"
    diff "$WORK/listed" "$WORK/found" || fail "scratch root holds other files than the package lists"
    [ "$(stat -c %a "$root/var/vorna-helmsight/monitor")" = 755 ] || fail "data directory mode"
    pass "scratch root: exactly the listed files"
    # The empty root has no shell to run postrm in: dpkg runs it from here.
    dpkg --root="$root" --force-script-chrootless -P "$PKG" >/dev/null 2>&1 || fail "dpkg -P in the scratch root"
    left=$(cd "$root" && find . -path ./var/lib -prune -o -print | grep -vx '\.\|\./var' || :)
    [ -z "$left" ] || fail "purge left: $left"
    pass "scratch root: purge leaves nothing of the package"
}

check_help() {
    (exec -a vn_bpf_net_monitor /usr/sbin/vn_bpf_net_monitor --help) >"$WORK/help.installed"
    (exec -a vn_bpf_net_monitor "$BUILT" --help) >"$WORK/help.built"
    grep -q '^Usage: vn_bpf_net_monitor ' "$WORK/help.built" || fail "built --help: no usage line"
    cmp "$WORK/help.built" "$WORK/help.installed" || fail "installed --help differs"
    pass "installed --help is byte for byte the built one"
}

check_manual_installed() {
    [ "$(man -w vn_bpf_net_monitor)" = /usr/share/man/man8/vn_bpf_net_monitor.8.gz ] ||
        fail "man -w: $(man -w vn_bpf_net_monitor 2>&1)"
    warnings=$(MANWIDTH=80 man --warnings 8 vn_bpf_net_monitor 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "installed manual page: $warnings"
    pass "man finds and renders vn_bpf_net_monitor(8)"
}

# Completions for a command line, sorted, one line; loaded the way an
# interactive shell loads them: by command name from bash-completion's directory.
complete_line() {
    bash -c '
        . /usr/share/bash-completion/bash_completion
        __load_completion vn_bpf_net_monitor || exit 1
        registered=$(complete -p vn_bpf_net_monitor) || exit 1
        fn=${registered#*-F }
        fn=${fn%% *}
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMP_LINE="$*"
        COMP_POINT=${#COMP_LINE}
        "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}"
        [ ${#COMPREPLY[@]} -eq 0 ] || printf "%s\n" "${COMPREPLY[@]}"
    ' complete_line "$@" | LC_ALL=C sort | tr '\n' ' '
}

expect_completion() {
    want=$1
    shift
    got=$(complete_line "$@")
    [ "$got" = "$want" ] || fail "completing '$*': got '$got', want '$want'"
}

check_completion() {
    file=/usr/share/bash-completion/completions/vn_bpf_net_monitor
    err=$(bash -c 'set -eu; . "$1"; complete -p vn_bpf_net_monitor >/dev/null' sh "$file" 2>&1) ||
        fail "sourcing $file: $err"
    [ -z "$err" ] || fail "sourcing $file: $err"
    pass "the completion file sources cleanly and registers vn_bpf_net_monitor"
    expect_completion 'icmp tcp udp ' vn_bpf_net_monitor -P ''
    expect_completion 'udp ' vn_bpf_net_monitor -H 192.0.2.1 -P u
    expect_completion '--help -6 -H -N -P -h -o -p ' vn_bpf_net_monitor -
    expect_completion '' vn_bpf_net_monitor -P tcp -p ''
    mkdir -p "$WORK/files/trdir" && : >"$WORK/files/trace1" && : >"$WORK/files/other"
    (cd "$WORK/files" && expect_completion 'trace1 trdir ' vn_bpf_net_monitor -P tcp -o tr)
    pass "bash completes options, -P's protocols and -o's files"
}

# What a user's runs leave: the monitor's own directory and error log (a
# refused protocol is logged there on any kernel) and a trace of their own.
make_user_data() {
    status=0
    /usr/sbin/vn_bpf_net_monitor -P TCP 2>/dev/null || status=$?
    [ "$status" = 1 ] || fail "installed monitor: status $status for -P TCP"
    DATA=/var/vorna-helmsight/monitor/vn_bpf_net_monitor
    [ "$(cat "$DATA/vn_bpf_net_monitor_err.log")" = 'this protocol[TCP] is not supported.' ] ||
        fail "error log: $(cat "$DATA/vn_bpf_net_monitor_err.log")"
    echo 'a trace of mine' >"$DATA/my.trace"
    pass "the installed monitor makes its data directory and error log"
}

# After removal only the user's data and the directories holding it remain.
check_gone() {
    package_paths "$AMD64" | while IFS= read -r path; do
        [ -e "$path" ] || continue
        # Directories that hold the user's data stay.
        case $DATA/ in "$path"/*) [ -d "$path" ] && continue ;; esac
        grep -qx "$path" "$WORK/before" || fail "$1 left $path"
    done
    [ "$(cat "$DATA/my.trace")" = 'a trace of mine' ] || fail "$1 touched the user's trace"
    case $1 in
    remove) [ -s "$DATA/vn_bpf_net_monitor_err.log" ] || fail "remove touched the error log" ;;
    purge) [ ! -e "$DATA/vn_bpf_net_monitor_err.log" ] || fail "purge left the error log" ;;
    esac
}

# The way the README installs it; apt needs no network for a package without dependencies.
apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -y -q "$@" >"$WORK/apt.log" 2>&1 ||
        { cat "$WORK/apt.log" >&2; return 1; }
}

check_installed_system() {
    package_paths "$AMD64" | while IFS= read -r path; do
        [ ! -e "$path" ] || echo "$path"
    done >"$WORK/before"
    apt_get install "$AMD64" || fail "apt-get install"
    check_help
    check_manual_installed
    check_completion
    make_user_data
    apt_get remove "$PKG" || fail "apt-get remove"
    check_gone remove
    pass "remove leaves the user's trace and error log, nothing else"
    # Without conffiles removal already forgets the package: install it again to purge it.
    apt_get install "$AMD64" || fail "apt-get install again"
    apt_get purge "$PKG" || fail "apt-get purge"
    check_gone purge
    dpkg-query -W "$PKG" >/dev/null 2>&1 && fail "still known to dpkg after purge"
    pass "purge removes the error log and leaves the user's trace, nothing else"
    # Without a trace of the user's, purge leaves none of the monitor's directories.
    rm "$DATA/my.trace"
    apt_get install "$AMD64" || fail "apt-get install a third time"
    make_user_data
    rm "$DATA/my.trace"
    apt_get purge "$PKG" || fail "apt-get purge again"
    grep -qx /var/vorna-helmsight/monitor "$WORK/before" || [ ! -e /var/vorna-helmsight/monitor ] ||
        fail "purge left $(find /var/vorna-helmsight/monitor)"
    pass "purge of a monitor that only logged leaves none of its directories"
}

in_namespace() {
    shield_host
    check_scratch_root
    check_installed_system
    echo "$PASSED" >"$COUNT_FILE"
}

main() {
    WORK=$(mktemp -d)
    trap 'rm -rf "$WORK"' EXIT
    AMD64=$(one_deb amd64)
    ARM64=$(one_deb arm64)
    check_manual_pages
    check_help_in_manual
    check_lintian
    check_architectures
    check_scripts
    check_depends
    COUNT_FILE=$WORK/count
    : >"$COUNT_FILE"
    export DEB_DIR BUILT AMD64 ARM64 PASSED COUNT_FILE
    NS_WORK=$(mktemp -d)
    NS_WORK=$NS_WORK unshare --mount --propagation private "$0" --in-namespace ||
        { rmdir "$NS_WORK"; fail "in the namespace"; }
    rmdir "$NS_WORK"
    echo "test_packages: $(cat "$COUNT_FILE") passed, 0 failed"
}

if [ "${1:-}" = --in-namespace ]; then
    WORK=$NS_WORK
    in_namespace
    exit 0
fi
[ $# -eq 2 ] || { echo "usage: $0 DEB_DIR BUILT_MONITOR" >&2; exit 2; }
[ "$(id -u)" = 0 ] || { echo "$0: needs root for a private mount namespace" >&2; exit 2; }
DEB_DIR=$(cd "$1" && pwd)
BUILT=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
main
