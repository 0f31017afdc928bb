#!/usr/bin/env bash
# The release script from outside: two copies of the sources in different folders give the
# same bytes, stamped with the commit's time; a throwaway CA's code-signing certificate signs the exe, which then verifies
# against that CA, fails to once a byte changes, and gives the unsigned bytes back when the
# signature is removed; the signed PE32 passes the image checks; the pin given with --msi is
# the one built in, and so is the package key; the signing script's signature of a package
# verifies with that key and binds its name, length, digest and time; --check lets a release
# through only when the program would use every host; an unsigned tree refuses a signature; a
# private key is never built in.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$1
rm -rf "$work"
mkdir -p "$work"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The sources as they stand, uncommitted changes included, as a commit of their own with the
# same date in every copy.
copy_sources() {
    local to=$1
    git clone -q "$root" "$to"
    (cd "$root" && git ls-files -z --cached --others --exclude-standard) |
        (cd "$root" && xargs -0 -I{} sh -c '[ -e "$1" ] && cp --parents -P "$1" "$2" || true' _ {} "$to")
    local date
    date=$(cd "$root" && git log -1 --format=%cI)
    (cd "$to" && git add -A && { git diff --cached --quiet || GIT_AUTHOR_DATE=$date GIT_COMMITTER_DATE=$date \
        git -c user.name=release-test -c user.email=release-test@localhost commit -q -m "sources under test"; })
}

copy_sources "$work/a"
copy_sources "$work/elsewhere/with a longer path/b"
b="$work/elsewhere/with a longer path/b"
head -c 100000 /dev/urandom > "$work/package.msi"
pin=$(sha256sum "$work/package.msi" | cut -d' ' -f1)

# A throwaway CA and a code-signing certificate it issued.
(
    cd "$work"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 30 -subj "/CN=Release Test CA" \
        -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
    openssl req -newkey rsa:2048 -nodes -keyout sign.key -out sign.csr -subj "/CN=Release Test Publisher"
    printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' > sign.ext
    openssl x509 -req -in sign.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out sign.pem -days 30 -extfile sign.ext
    # The publisher's package key.
    openssl genrsa -out package.key 3072
    openssl rsa -in package.key -pubout -out package.pub
) >/dev/null 2>&1

options=(--msi "$work/package.msi" --scheme https --server dl.example.com --mirror cdn1.example.com --mirror cdn2.example.com:8443
         --package-key "$work/package.pub" --package-not-before 1700000000)
(cd "$work/a" && scripts/release.sh "${options[@]}") > "$work/a.log"
(cd "$b" && scripts/release.sh "${options[@]}" --cert "$work/sign.pem" --key "$work/sign.key" --ca "$work/ca.pem") \
    > "$b.log" || fail "signing refused or failed: $(cat "$b.log")"
grep -q "NOT signed" "$work/a.log" || fail "an unsigned release does not say so"
grep -q "^ServerMirrors=cdn1.example.com,cdn2.example.com:8443" "$work/a/dist/LumvexInstallerConfig.ini" ||
    fail "the sample settings do not name the mirrors built in"

unsigned=$work/a/dist/LumvexInstaller.exe
signed=$b/dist/LumvexInstaller.exe
cmp -s "$unsigned" "$b/build/release/LumvexInstaller.exe" || fail "two copies of the sources built different bytes"
osslsigncode remove-signature -in "$signed" -out "$work/stripped.exe" >/dev/null
cmp -s "$unsigned" "$work/stripped.exe" || fail "the signed exe without its signature is not the unsigned build"
(cd "$b/dist" && sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not match dist/"

osslsigncode verify -in "$signed" -CAfile "$work/ca.pem" >/dev/null 2>&1 || fail "the signature does not verify"
cp "$signed" "$work/changed.exe"
printf '\x5a' | dd of="$work/changed.exe" bs=1 seek=4096 conv=notrunc 2>/dev/null
if osslsigncode verify -in "$work/changed.exe" -CAfile "$work/ca.pem" >/dev/null 2>&1; then
    fail "a changed byte still verifies"
fi
python3 "$root/tests/static/check_pe.py" "$signed" pe32 || fail "the signed exe fails the image checks"

# The one time stamp in the image is the commit's, not the build's.
python3 - "$unsigned" "$(cd "$work/a" && git log -1 --format=%ct)" <<'EOT' || fail "the image header carries the build time"
import struct, sys
image = open(sys.argv[1], "rb").read()
header = struct.unpack_from("<I", image, 0x3C)[0]
sys.exit(0 if struct.unpack_from("<I", image, header + 8)[0] == int(sys.argv[2]) else 1)
EOT

# The pin is in the program as the text it compares with, in UTF-16.
python3 - "$unsigned" "$pin" <<'EOT' || fail "the pin of --msi is not the built-in one"
import sys
sys.exit(0 if sys.argv[2].encode("utf-16-le") + b"\0\0" in open(sys.argv[1], "rb").read() else 1)
EOT

# The key is in the program as its modulus, most significant byte first.
modulus=$(openssl rsa -pubin -in "$work/package.pub" -noout -modulus | cut -d= -f2)
python3 - "$unsigned" "$modulus" <<'EOT' || fail "the package key of --package-key is not the built-in one"
import sys
sys.exit(0 if bytes.fromhex(sys.argv[2]) in open(sys.argv[1], "rb").read() else 1)
EOT

# The signing script: its lines name the package, and the signature over them verifies.
"$root/scripts/sign-package.sh" --key "$work/package.key" --time 1800000000 --name LumvexSetup.msi "$work/package.msi" \
    >/dev/null || fail "the signing script failed"
sig=$work/package.msi.sig
expected=$(printf 'LumvexPackageSignature=1\nName=LumvexSetup.msi\nLength=100000\nSha256=%s\nTime=1800000000\n' "$pin")
[ "$(head -n 5 "$sig")" = "$expected" ] || fail "the signature's lines are not the package's: $(head -n 5 "$sig")"
head -n 5 "$sig" > "$work/signed-lines"
sed -n 's/^RsaSha256=//p' "$sig" | python3 -c 'import sys; sys.stdout.buffer.write(bytes.fromhex(sys.stdin.read().strip()))' \
    > "$work/rsa"
openssl dgst -sha256 -verify "$work/package.pub" -signature "$work/rsa" "$work/signed-lines" >/dev/null ||
    fail "the signature does not verify with the package key"
printf 'Time=1800000001\n' | dd of="$work/signed-lines" bs=1 seek=$(( $(stat -c %s "$work/signed-lines") - 16 )) \
    conv=notrunc 2>/dev/null
if openssl dgst -sha256 -verify "$work/package.pub" -signature "$work/rsa" "$work/signed-lines" >/dev/null 2>&1; then
    fail "the signature still verifies over changed lines"
fi
if (cd "$work/a" && scripts/release.sh --package-key "$work/package.key") >/dev/null 2>&1; then
    fail "a private key was taken as a package key"
fi

# --check asks the release's own hosts as the program will: a host that serves lets the
# release through; one the program would leave (a signature older than the oldest taken) stops it.
mkdir -p "$work/www"
{ printf '\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1'; head -c 100000 /dev/urandom; } > "$work/www/LumvexSetup.msi"
"$root/scripts/sign-package.sh" --key "$work/package.key" --time 1800000000 "$work/www/LumvexSetup.msi" >/dev/null
python3 "$root/demo/serve.py" "$work/www" "$work/port" 2>/dev/null &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
checked=(--check --server 127.0.0.1 --port "$(cat "$work/port")" --package-key "$work/package.pub")
(cd "$work/a" && scripts/release.sh "${checked[@]}") > "$work/checked.log" 2>&1 ||
    fail "--check stopped a release whose host serves: $(cat "$work/checked.log")"
grep -q "verdict  *serves$" "$work/checked.log" || fail "--check did not report the host: $(cat "$work/checked.log")"
if (cd "$work/a" && scripts/release.sh "${checked[@]}" --package-not-before 1900000000) > "$work/refused.log" 2>&1; then
    fail "--check let a release through with a host the program would leave"
fi
grep -q "older than the oldest" "$work/refused.log" || fail "--check did not say why: $(cat "$work/refused.log")"

touch "$work/a/uncommitted"
if (cd "$work/a" && scripts/release.sh --cert "$work/sign.pem" --key "$work/sign.key") >/dev/null 2>&1; then
    fail "a tree with uncommitted changes was signed"
fi
echo "release checks passed"
