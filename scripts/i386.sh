#!/usr/bin/env bash
# How the PE32 runs on this machine: Wine's 32-bit half natively, or, where the kernel refuses
# 32-bit x86 programs, under qemu's user-mode emulation through a binfmt_misc entry.
#   scripts/i386.sh setup     make it run (idempotent), prove it, say how in one line
#   scripts/i386.sh describe  say how, in the same words
# LUMVEX_EMULATE_I386=1 forces emulation where the kernel would run the code itself, so that
# this path can be tried anywhere.
set -euo pipefail

loader=/usr/lib/wine/wine       # Wine's 32-bit loader, an i386 ELF program
entry_name=qemu-i386
binfmt=/proc/sys/fs/binfmt_misc
entry=$binfmt/$entry_name
# An older qemu ignores MAP_FIXED_NOREPLACE: each 32-bit Wine process then takes about a minute.
qemu_major_needed=10

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

say() { echo "i386: $*"; }
fail() { echo "i386: $*" >&2; exit 1; }

entry_enabled() { [ -r "$entry" ] && head -n 1 "$entry" | grep -qx enabled; }

interpreter() { sed -n 's/^interpreter //p' "$entry" 2>/dev/null; }

qemu_version() {
    local qemu
    qemu=$(command -v qemu-i386-static || command -v qemu-i386 || true)
    [ -n "$qemu" ] && "$qemu" --version 2>/dev/null | sed -n '1s/.*version \([0-9][0-9.]*\).*/\1/p'
}

describe() {
    if entry_enabled; then
        echo "the PE32 runs under emulation ($(interpreter) $(qemu_version), binfmt_misc entry $entry_name)"
    else
        echo "the PE32 runs natively"
    fi
}

# True when the loader starts and prints its version within the limit.
loader_runs() {
    [ -x "$loader" ] || fail "$loader is missing: install wine32:i386 first (scripts/install-deps.sh)"
    timeout "$1" "$loader" --version >/dev/null 2>&1
}

as_root() {
    [ -z "$sudo" ] || command -v sudo >/dev/null 2>&1 ||
        fail "not root and no sudo: cannot $1"
    $sudo "${@:2}"
}

# An entry of ours is taken away again; the native loader is the one to use where it works.
remove_entry() {
    [ -e "$entry" ] || return 0
    as_root "remove the binfmt_misc entry $entry_name" sh -c "echo -1 > '$entry'"
}

suite_of_backports() {
    . /etc/os-release
    echo "${VERSION_CODENAME:?}-backports"
}

# The suite that carries a qemu that starts 32-bit Wine in a fraction of a second.
install_qemu() {
    local backports uri
    backports=$(suite_of_backports)
    if ! grep -rqs -- "$backports" /etc/apt/sources.list /etc/apt/sources.list.d/; then
        uri=$(grep -rhs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '$2 ~ /\/debian\/?$/ {print $2; exit}')
        [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 ~ /\/debian\/?$/ {print $2; exit}' /etc/apt/sources.list 2>/dev/null)
        say "adding $backports (${uri:=http://deb.debian.org/debian}) to apt's sources for qemu"
        as_root "add $backports to apt's sources" sh -c "printf 'Types: deb\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' '$uri' '$backports' > /etc/apt/sources.list.d/lumvex-backports.sources"
    fi
    say "installing qemu-user-static from $backports"
    export DEBIAN_FRONTEND=noninteractive
    # A mirror in mid-sync fails an index now and then: try again, then go on with the lists
    # there are (the install says so if qemu is not among them).
    local round
    for round in 1 2 3; do
        as_root "update apt" apt-get update -q >/dev/null && break
        [ "$round" -eq 3 ] || sleep 20
    done
    as_root "install qemu-user-static" apt-get install -y -q --no-install-recommends -t "$backports" qemu-user-static >/dev/null
}

qemu_is_recent() {
    local version
    version=$(qemu_version)
    [ -n "$version" ] && [ "${version%%.*}" -ge "$qemu_major_needed" ]
}

# With flag F the kernel opens the interpreter now and keeps it, so an entry made before qemu
# was installed or upgraded still points at the old program: it is always made again.
register_entry() {
    local qemu magic mask
    qemu=$(command -v qemu-i386-static || command -v qemu-i386) || fail "qemu-i386 is not installed"
    if [ ! -e "$binfmt/register" ]; then
        as_root "mount binfmt_misc" mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
            fail "binfmt_misc is not available ($binfmt/register missing and it cannot be mounted): 32-bit code cannot run here"
    fi
    remove_entry
    # An i386 ELF executable or shared object.
    magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
    mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
    # The kernel reads the \x escapes itself: they go to it as written.
    printf ':%s:M::%s:%s:%s:F\n' "$entry_name" "$magic" "$mask" "$qemu" |
        as_root "register the binfmt_misc entry $entry_name" tee "$binfmt/register" >/dev/null ||
        fail "the kernel refused the binfmt_misc entry for $qemu"
}

setup() {
    local forced=${LUMVEX_EMULATE_I386:-0}
    if [ "$forced" != 1 ]; then
        # An entry left by a forced run would hide what the kernel can do.
        [ -e "$entry" ] && as_root "switch off the binfmt_misc entry $entry_name" sh -c "echo 0 > '$entry'"
        if loader_runs 60; then
            remove_entry
            say "$(describe)"
            return 0
        fi
        say "the kernel does not run 32-bit x86 programs here: setting up qemu's emulation"
    else
        say "LUMVEX_EMULATE_I386=1: emulating 32-bit x86 although the kernel may run it"
    fi
    qemu_is_recent || install_qemu
    qemu_is_recent || fail "qemu $(qemu_version) is older than $qemu_major_needed: 32-bit Wine would take a minute per process"
    register_entry
    loader_runs 120 || fail "Wine's 32-bit loader does not start even under $(interpreter)"
    say "$(describe)"
}

case "${1:-}" in
setup) setup ;;
describe) describe ;;
*) fail "usage: $0 setup|describe" ;;
esac
