#!/usr/bin/env bash
# The program's main job on a local demo: builds the PE32 we ship with a throwaway package key,
# serves a sample per-user package, signed with that key, on 127.0.0.1 at a watchable pace,
# dropping the connection once at 60 %, checks that server with lumvex-check as a publisher
# would, runs the PE32 under Wine in a real window (on Xvfb when there is no DISPLAY), saves a
# screenshot taken during the download and reports what arrived,
# what each request carried (the signature first) and whether the system installer installed it.
# Every wait is bounded; one that runs out says what did not happen and the demo fails.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/install-deps.sh

# Seconds: making the prefix (a first start of Wine), the download at 1 MiB/s with its one
# retry, and the system installer after it.
prefix_limit=300
program_limit=180
install_limit=120

give_up() {
    echo "demo: $*" >&2
    exit 1
}

demo=$root/build/demo
mkdir -p "$demo/server" "$demo/run" "$demo/key"
# A publisher's key, made once: the build carries its public half, the package its signature.
if [ ! -f "$demo/key/package.pub" ]; then
    openssl genrsa -out "$demo/key/package.key" 3072 2>/dev/null
    openssl rsa -in "$demo/key/package.key" -pubout -out "$demo/key/package.pub" 2>/dev/null
fi
cmake --preset win32 -B "$demo/win32" -DLUMVEX_TESTS=OFF -DLUMVEX_PACKAGE_KEYS="$demo/key/package.pub" >/dev/null
cmake --build "$demo/win32" --target LumvexInstaller

cleanup() {
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    timeout 30 /usr/lib/wine/wineserver -w 2>/dev/null || true
    [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true
    [ -n "${xvfb_pid:-}" ] && kill "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

export WINEPREFIX=$root/build/demo-prefix WINEDEBUG=-all
unset WINEPATH  # folders of 64-bit DLLs there break Wine's 32-bit side
wine=/usr/lib/wine/wine64

# A prefix with a real display driver, and Chinese glyphs linked into the UI fonts.
# One made before Wine's own fonts were installed, or while its 32-bit side could not run
# (an empty syswow64 that no update fills), is made again.
syswow64_probe=$WINEPREFIX/drive_c/windows/syswow64/rundll32.exe
if [ ! -f "$WINEPREFIX/.lumvex-demo-ready-5" ] || [ ! -f "$syswow64_probe" ]; then
    echo "demo: creating the Wine prefix (once)"
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    WINEDLLOVERRIDES="mscoree=;mshtml=" timeout "$prefix_limit" $wine wineboot -i >/dev/null 2>&1 ||
        give_up "Wine did not make its prefix within $prefix_limit s"
    timeout "$prefix_limit" /usr/lib/wine/wineserver -w || give_up "Wine did not settle its prefix within $prefix_limit s"
    [ -f "$syswow64_probe" ] || give_up "Wine's 32-bit side did not run while the prefix was made (see scripts/i386.sh)"
    # Wine's Marlett draws the caption buttons; this Wine looks for it in the prefix. (Its
    # Tahoma stays out: the caption's Chinese comes from the fallback that Tahoma would replace.)
    cp /usr/share/wine/fonts/marlett.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
    for face in "Tahoma" "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "System"; do
        $wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' \
            /v "$face" /t REG_MULTI_SZ /d 'wqy-microhei.ttc,WenQuanYi Micro Hei' /f >/dev/null 2>&1
    done
    timeout "$prefix_limit" /usr/lib/wine/wineserver -w || give_up "Wine did not settle its prefix within $prefix_limit s"
    touch "$WINEPREFIX/.lumvex-demo-ready-5"
fi

installed=$(find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/LumvexDemo/payload.bin' 2>/dev/null | head -n 1)
package=$demo/server/LumvexSetup.msi
if [ -f "$package" ]; then
    # Start from a machine without the sample client, so the result below means this run.
    timeout "$install_limit" $wine msiexec /x "$(winepath -w "$package" 2>/dev/null || echo "Z:$package")" /qn \
        >/dev/null 2>&1 || true
fi
[ -n "$installed" ] && rm -f "$installed"
if [ ! -f "$package" ]; then
    python3 -c 'import random,sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(6 << 20))' > "$demo/payload.bin"
    (cd "$demo" && wixl -D Payload=payload.bin -o "$package" "$root/demo/LumvexDemo.wxs")
fi
scripts/sign-package.sh --key "$demo/key/package.key" "$package" >/dev/null

rm -f "$demo/port"
: > "$demo/server.log"
python3 "$root/demo/serve.py" "$demo/server" "$demo/port" --rate $((1 << 20)) --drop-at 0.6 2>>"$demo/server.log" &
server_pid=$!
for _ in $(seq 50); do [ -s "$demo/port" ] && break; sleep 0.1; done
port=$(cat "$demo/port")

# The publisher's check of its server, asked as the program will ask it; its requests are not
# the program's, so the log starts again after it.
cmake --preset host >/dev/null && cmake --build --preset host --target lumvex-check >/dev/null
build/host/lumvex-check --server 127.0.0.1 --port "$port" --package-key "$demo/key/package.pub" | sed 's/^/demo: check: /' ||
    give_up "lumvex-check says the program would leave the demo's server"
# The server logs a request once its answer ends, a moment after the check has gone.
for _ in $(seq 10); do
    logged=$(stat -c %s "$demo/server.log")
    sleep 0.5
    [ "$(stat -c %s "$demo/server.log")" = "$logged" ] && break
done
: > "$demo/server.log"

rm -f "$demo/run/"*
printf 'ServerAddress=127.0.0.1\r\nServerPort=%s\r\nMsiServerPath=/LumvexSetup.msi\r\nMsiLocalPath=LumvexSetup.msi\r\n' \
    "$port" > "$demo/run/LumvexInstallerConfig.ini"

if [ -z "${DISPLAY:-}" ]; then
    display=99
    while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
    Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$display"
    sleep 1
fi

echo "demo: serving $(stat -c %s "$package") bytes on 127.0.0.1:$port at 1 MiB/s, dropping the connection once at 60 %"
(cd "$demo/run" && $wine explorer /desktop=Lumvex,640x320 "$demo/win32/LumvexInstaller.exe") &
program_pid=$!

# The screenshot is taken once a third of the package has arrived.
total=$(stat -c %s "$package")
shot=$demo/LumvexInstaller.png
rm -f "$shot"
deadline=$((SECONDS + program_limit))
while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$program_pid" 2>/dev/null; do
    part=$(stat -c %s "$demo/run/LumvexSetup.msi.part" 2>/dev/null || echo 0)
    if [ "$part" -gt $((total / 3)) ]; then
        window=$(xdotool search --name "Lumvex - Wine desktop" 2>/dev/null | head -n 1 || true)
        import -window "${window:-root}" "$shot"
        echo "demo: screenshot during the download: $shot"
        break
    fi
    sleep 0.1
done

[ -f "$shot" ] || echo "demo: no screenshot: a third of the package never arrived while the program ran" >&2
while [ "$SECONDS" -lt "$deadline" ] && kill -0 "$program_pid" 2>/dev/null; do
    sleep 1
done
if kill -0 "$program_pid" 2>/dev/null; then
    /usr/lib/wine/wineserver -k 2>/dev/null || true
    give_up "the program had not finished after $program_limit s; $(stat -c %s "$demo/run/LumvexSetup.msi.part" 2>/dev/null || echo 0) of $total bytes had arrived"
fi
wait "$program_pid" || true
downloaded=$(stat -c %s "$demo/run/LumvexSetup.msi" 2>/dev/null || echo 0)
result="not installed"
for _ in $(seq $((install_limit * 2))); do
    if find "$WINEPREFIX/drive_c/users" -path '*AppData/Local/LumvexDemo/payload.bin' 2>/dev/null | grep -q .; then
        result="installed by Wine's msiexec"
        break
    fi
    sleep 0.5
done
echo "demo: downloaded $downloaded of $total bytes into $demo/run/LumvexSetup.msi"
while read -r _ status first sent path; do
    echo "demo: request for $path answered $status from byte $first carried $sent bytes"
done < "$demo/server.log"
echo "demo: sample client $result; $(scripts/i386.sh describe)"
[ "$result" != "not installed" ] || give_up "the system installer did not install the sample client within $install_limit s"
