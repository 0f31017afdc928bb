#!/usr/bin/env bash
# Signs a package for LumvexInstaller builds that carry the matching public key: writes
# PACKAGE.sig beside it, binding the package's SHA-256, its length, the file name it is served
# under and the time it was signed (see the README, "Signed packages").
set -euo pipefail

usage() {
    cat <<'EOT'
Usage: scripts/sign-package.sh --key PRIVATE.pem [--time UNIX_SECONDS] [--name NAME] PACKAGE

  --key PRIVATE.pem   the publisher's RSA private key, 2048 to 4096 bits (a password for it
                      comes from LUMVEX_SIGN_PASSWORD)
  --time SECONDS      when it was signed, seconds since 1970 (default: now); builds made with
                      a later --package-not-before refuse the package
  --name NAME         the file name the package is served under, the last segment of
                      MsiServerPath (default: PACKAGE's own name)
  -h, --help          this text

Writes PACKAGE.sig, to be served beside the package as <MsiServerPath>.sig.
EOT
}

die() {
    echo "sign-package: $*" >&2
    exit 1
}

key="" time="" name="" package=""
while [ $# -gt 0 ]; do
    case "$1" in
        --key) key=${2:-}; shift ;;
        --time) time=${2:-}; shift ;;
        --name) name=${2:-}; shift ;;
        -h|--help) usage; exit 0 ;;
        -*) usage >&2; die "unknown option $1" ;;
        *) [ -z "$package" ] || die "one package at a time"; package=$1 ;;
    esac
    shift
done
[ -n "$key" ] && [ -f "$key" ] || die "--key needs the private key file"
[ -n "$package" ] && [ -f "$package" ] || die "name the package to sign"
[ -n "$name" ] || name=$(basename "$package")
[ -n "$time" ] || time=$(date +%s)
# What the program reads back: printable ASCII without blanks, plain decimal numbers.
[[ "$name" =~ ^[!-~]{1,259}$ ]] || die "--name must be 1 to 259 printable ASCII characters without blanks"
[[ "$time" =~ ^(0|[1-9][0-9]{0,18})$ ]] || die "--time must be seconds since 1970"
length=$(stat -c %s "$package")
[ "$length" -ge 1 ] && [ "$length" -le 4294967295 ] || die "the package must hold 1 byte to 4 GiB - 1"

password=()
[ -n "${LUMVEX_SIGN_PASSWORD:-}" ] && password=(-passin env:LUMVEX_SIGN_PASSWORD)
bits=$(openssl rsa -in "$key" "${password[@]}" -noout -text 2>/dev/null |
    sed -n 's/^Private-Key: (\([0-9]*\) bit.*/\1/p' || true)
[ -n "$bits" ] || die "$key is not an RSA private key (or its password is missing)"
[ "$bits" -ge 2048 ] && [ "$bits" -le 4096 ] || die "the key has $bits bits; 2048 to 4096 are taken"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
{
    printf 'LumvexPackageSignature=1\n'
    printf 'Name=%s\n' "$name"
    printf 'Length=%s\n' "$length"
    printf 'Sha256=%s\n' "$(sha256sum "$package" | cut -d' ' -f1)"
    printf 'Time=%s\n' "$time"
} > "$work/signed"
openssl dgst -sha256 -sign "$key" "${password[@]}" -out "$work/rsa" "$work/signed" || die "openssl could not sign"
# Checked before it is written: a signature that does not verify is never published.
openssl rsa -in "$key" "${password[@]}" -pubout -out "$work/public.pem" 2>/dev/null
openssl dgst -sha256 -verify "$work/public.pem" -signature "$work/rsa" "$work/signed" >/dev/null ||
    die "the signature does not verify"
{
    cat "$work/signed"
    printf 'RsaSha256=%s\n' "$(od -An -v -tx1 "$work/rsa" | tr -d ' \n')"
} > "$package.sig.new"
mv "$package.sig.new" "$package.sig"
echo "sign-package: wrote $package.sig ($name, $length bytes, signed at $time)"
