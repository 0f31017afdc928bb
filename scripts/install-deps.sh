#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, if any is missing, and
# makes sure the PE32 runs under Wine here (scripts/i386.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

# "release" installs only what scripts/release.sh needs.
if [ "${1:-}" = "release" ]; then
    packages=(cmake ninja-build git g++-mingw-w64-i686-win32 osslsigncode openssl
              g++ libcurl4-openssl-dev libssl-dev)  # lumvex-check, for --check
else
    packages=(
        cmake ninja-build g++ googletest python3 curl openssl
        libcurl4-openssl-dev libssl-dev                     # lumvex-check
        g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32  # -win32: no winpthread DLL
        wine64 wine32:i386                                  # runs both builds in one 64-bit prefix
        wixl                                                # sample .msi packages
        xvfb xdotool imagemagick fonts-wqy-microhei         # the demo's screenshot
        fonts-wine                                          # Wine's own fonts: the caption buttons
        clang libclang-rt-14-dev                            # fuzzing
        cppcheck                                            # static analysis of the product
        osslsigncode                                        # the release's signature, and its test
        iproute2 iptables                                   # the benchmark's firewall
        nginx apache2                                       # the servers publishers run, in the tests
    )
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
else
    echo "install-deps: installing ${missing[*]}"
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    # The PE32 we ship runs in Wine's 32-bit half, Debian's multiarch wine32.
    if [[ " ${missing[*]}" == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    # A mirror in mid-sync fails an index now and then: try again, then go on with the lists
    # there are (the install says so if what it needs is not among them).
    for round in 1 2 3; do
        $sudo apt-get update -q && break
        [ "$round" -eq 3 ] || sleep 20
    done
    $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The release only builds the PE32; everything else runs it.
[ "${1:-}" = "release" ] || "$here/i386.sh" setup
