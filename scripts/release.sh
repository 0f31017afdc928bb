#!/usr/bin/env bash
# Builds the program we ship (the win32 preset) from a clean build tree, reproducibly, and
# writes dist/: LumvexInstaller.exe, a sample LumvexInstallerConfig.ini and SHA256SUMS.
# Signs the exe with Authenticode when given a certificate, and verifies the signature.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

usage() {
    cat <<'EOT'
Usage: scripts/release.sh [options]

Built-in settings (the settings file beside a user's download still overrides each, but a pin):
  --msi FILE          pin the package: its SHA-256 becomes the built-in MsiSha256
  --pin HEX           the same, given as 64 hex digits
  --scheme http|https ServerScheme               (default http)
  --server HOST       ServerAddress              (default dl.lumvex.com)
  --port N            ServerPort, 0 to 65535     (default 80; 0: the scheme's own)
  --path PATH         MsiServerPath              (default /LumvexSetup.msi)
  --local NAME.msi    MsiLocalPath               (default LumvexSetup.msi)
  --mirror HOST[:PORT] one more host for ServerMirrors, tried in the order given (repeat, at most 8)

Package signatures (built in; no settings file can add, remove or replace them):
  --package-key PUBLIC.pem   an RSA public key (2048 to 4096 bits, as "openssl rsa -pubout"
                      writes it) whose signature (scripts/sign-package.sh) every package then
                      needs; repeat once to carry the next key while moving to it
  --package-not-before SECONDS  refuse signatures made before this time (seconds since 1970):
                      packages the publisher withdrew

Signing (Authenticode, SHA-256, with osslsigncode; needs a committed, unchanged tree):
  --cert CERT.pem     the code-signing certificate (and its chain)
  --key KEY.pem       its private key, a file or a PKCS#11 URI
  --pkcs12 FILE.pfx   certificate and key in one file, instead of --cert and --key
                      (a password, for the key or the file, comes from LUMVEX_SIGN_PASSWORD)
  --timestamp URL     add an RFC 3161 time-stamp from this server
  --sign-option ARG   pass ARG on to "osslsigncode sign" (repeat for each word), for example
                      --sign-option -pkcs11module --sign-option /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
  --ca FILE           the CA bundle the signature is verified against
                      (default: the system's, /etc/ssl/certs/ca-certificates.crt)
After the build:
  --check             ask every host (the server and its mirrors) as the program will, with
                      these values, each whole package checked (build/check/lumvex-check
                      --full; see its --help): the release stops, unsigned, when the
                      program would leave any host
  -h, --help          this text
EOT
}

die() {
    echo "release: $*" >&2
    exit 1
}

package_keys="" not_before="0"
pin="" scheme="http" server="dl.lumvex.com" port="80" path="/LumvexSetup.msi" local_name="LumvexSetup.msi" mirrors=""
cert="" key="" pkcs12="" timestamp="" ca="" check=false
sign_options=()
while [ $# -gt 0 ]; do
    case "$1" in
        --msi) [ -f "${2:-}" ] || die "--msi needs a package file"; pin=$(sha256sum "$2" | cut -d' ' -f1); shift ;;
        --pin) pin=${2:-}; shift ;;
        --scheme) scheme=${2:-}; shift ;;
        --server) server=${2:-}; shift ;;
        --port) port=${2:-}; shift ;;
        --path) path=${2:-}; shift ;;
        --local) local_name=${2:-}; shift ;;
        --mirror) [ -n "${2:-}" ] || die "--mirror needs a host"; mirrors=${mirrors:+$mirrors,}$2; shift ;;
        --package-key) [ -f "${2:-}" ] || die "--package-key needs a public key file"
                       package_keys=${package_keys:+$package_keys;}$(realpath "$2"); shift ;;
        --package-not-before) not_before=${2:-}; shift ;;
        --cert) cert=${2:-}; shift ;;
        --key) key=${2:-}; shift ;;
        --pkcs12) pkcs12=${2:-}; shift ;;
        --timestamp) timestamp=${2:-}; shift ;;
        --sign-option) sign_options+=("${2:-}"); shift ;;
        --ca) ca=${2:-}; shift ;;
        --check) check=true ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; die "unknown option $1" ;;
    esac
    shift
done

signing=false
if [ -n "$pkcs12" ]; then
    [ -z "$cert$key" ] || die "give --pkcs12, or --cert and --key, not both"
    signing=true
elif [ -n "$cert$key" ]; then
    [ -n "$cert" ] && [ -n "$key" ] || die "--cert and --key go together"
    signing=true
fi
if ! $signing && { [ -n "$timestamp$ca" ] || [ ${#sign_options[@]} -gt 0 ]; }; then
    die "--timestamp, --ca and --sign-option need a certificate"
fi

scripts/install-deps.sh release

# A signature vouches for a commit: it is never put on what no commit holds.
dirty=$(git status --porcelain --untracked-files=normal)
if [ -n "$dirty" ]; then
    $signing && die "the working tree has uncommitted changes; commit them before signing"
    echo "release: building a working tree with uncommitted changes: no commit reproduces this exe"
fi

# Every tool that stamps a time takes the last commit's, so a rebuild gives the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
export SOURCE_DATE_EPOCH
build=$root/build/release
rm -rf "$build" "$root/dist"
cmake --preset win32 -B "$build" -DLUMVEX_TESTS=OFF -DLUMVEX_MSI_SHA256="$pin" -DLUMVEX_SERVER_SCHEME="$scheme" \
    -DLUMVEX_SERVER_ADDRESS="$server" -DLUMVEX_SERVER_PORT="$port" -DLUMVEX_MSI_SERVER_PATH="$path" \
    -DLUMVEX_MSI_LOCAL_PATH="$local_name" -DLUMVEX_SERVER_MIRRORS="$mirrors" -DLUMVEX_PACKAGE_KEYS="$package_keys" \
    -DLUMVEX_PACKAGE_NOT_BEFORE="$not_before" >/dev/null
cmake --build "$build" --target LumvexInstaller >/dev/null

mkdir -p "$root/dist"
unsigned=$build/LumvexInstaller.exe
# Tiny is part of what we ship: two 4096-bit keys and a pin still fit (60,416 bytes).
size=$(stat -c %s "$unsigned")
[ "$size" -le 65536 ] || die "the exe is $size bytes, more than 64 KiB"
# The hosts, asked as the program will ask them, before anything is signed or published.
if $check; then
    cmake -S "$root" -B "$root/build/check" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMVEX_TESTS=OFF >/dev/null
    cmake --build "$root/build/check" --target lumvex-check >/dev/null
    # Every host's whole package against its signature or the pin: a release is rare.
    checked=(--full --scheme "$scheme" --server "$server" --port "$port" --path "$path" --local "$local_name"
             --package-not-before "$not_before")
    [ -n "$pin" ] && checked+=(--pin "$pin")
    IFS=',' read -r -a listed <<< "$mirrors"
    for mirror in "${listed[@]}"; do checked+=(--mirror "$mirror"); done
    IFS=';' read -r -a listed <<< "$package_keys"
    for package_key in "${listed[@]}"; do checked+=(--package-key "$package_key"); done
    "$root/build/check/lumvex-check" "${checked[@]}" ||
        die "the program would leave a host (above): mend it, or release without --check"
fi
printf 'ServerScheme=%s\r\nServerAddress=%s\r\nServerPort=%s\r\nMsiServerPath=%s\r\nMsiLocalPath=%s\r\nMsiSha256=%s\r\nServerMirrors=%s\r\n' \
    "$scheme" "$server" "$port" "$path" "$local_name" "$pin" "$mirrors" > "$root/dist/LumvexInstallerConfig.ini"

if $signing; then
    password_file=""
    trap '[ -n "$password_file" ] && rm -f "$password_file"' EXIT
    credentials=()
    if [ -n "$pkcs12" ]; then
        credentials=(-pkcs12 "$pkcs12")
    else
        credentials=(-certs "$cert" -key "$key")
    fi
    if [ -n "${LUMVEX_SIGN_PASSWORD:-}" ]; then
        # Read from a file only this user can read: a password on a command line is public.
        password_file=$(mktemp)
        printf '%s' "$LUMVEX_SIGN_PASSWORD" > "$password_file"
        credentials+=(-readpass "$password_file")
    fi
    [ -n "$timestamp" ] && credentials+=(-ts "$timestamp")
    osslsigncode sign -h sha256 -n "Lumvex" "${credentials[@]}" "${sign_options[@]}" \
        -in "$unsigned" -out "$root/dist/LumvexInstaller.exe" >/dev/null ||
        die "osslsigncode could not sign the exe"
    verify=(osslsigncode verify -in "$root/dist/LumvexInstaller.exe")
    [ -n "$ca" ] && verify+=(-CAfile "$ca" -TSA-CAfile "$ca")
    "${verify[@]}" >"$build/verify.log" 2>&1 || { cat "$build/verify.log" >&2; die "the signature does not verify"; }
else
    cp "$unsigned" "$root/dist/LumvexInstaller.exe"
fi
(cd "$root/dist" && sha256sum LumvexInstaller.exe LumvexInstallerConfig.ini > SHA256SUMS)

version=$(sed -n 's/^project(LumvexInstaller VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
echo "release: LumvexInstaller $version from commit $(git rev-parse --short HEAD), SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
echo "release: unsigned exe SHA-256 $(sha256sum "$unsigned" | cut -d' ' -f1) (what any rebuild of the same sources gives), $size bytes"
if $signing; then
    echo "release: dist/LumvexInstaller.exe is signed and its signature verifies"
else
    echo "release: dist/LumvexInstaller.exe is NOT signed: give --cert and --key, or --pkcs12, to sign it"
fi
[ -n "$pin" ] && echo "release: the package is pinned to SHA-256 $pin"
[ -n "$package_keys" ] && echo "release: packages need a signature by $(echo "$package_keys" | tr ';' '\n' | wc -l) built-in key(s), made at $not_before or later"
echo "release: wrote dist/LumvexInstaller.exe, dist/LumvexInstallerConfig.ini, dist/SHA256SUMS"
