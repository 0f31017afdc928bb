#!/usr/bin/env python3
"""Transfer benchmark: the program against its own limits, side by side.

Serves a 16 MiB and a 256 MiB package from 127.0.0.1 and, interleaved in every round and in
one Wine prefix, times
  program  LumvexInstaller.exe, the x86-64 build, end to end (the package type's open program
           does nothing)
  pe32     the same for the PE32 we ship, in Wine's 32-bit half
  bare     the WinHTTP loop alone, no UI (bench_loop bare)
  design   the loop on a worker plus the two synchronous sends per chunk (bench_loop ui)
  curl     native curl on the same file
  etag     the program against demo/serve.py, which names an ETag (a checkpoint every 4 MiB)
  no-etag  the same against demo/serve.py --no-validators (no checkpoint at all)
  signed   the program built with a package key, against demo/serve.py serving the packages
           with their signatures: what a signature costs a run (one small request, and the
           SHA-256 of the whole package)
and, once, the PE32 against a server that honours ranges and drops the connection at 90 % of
the largest package: how many bytes went out after the cut, against the 10 % that remained;
and, in a network namespace whose firewall drops every packet to the server, the time the
program's transfer takes to give up, for a name with one address and for one with three, and
to reach the package through the user's proxy; and the time it takes to give up on a hostile
server that hands out one byte a try, sends its answer's head a line every 20 s, or paces its
body just under the stall rule's floor.
Prints the medians and writes them to bench/RESULTS.md. Run it through scripts/bench.sh.
"""
import argparse
import itertools
import os
import platform
import shutil
import socket
import statistics
import struct
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
MIB = 1024 * 1024
CASES = ["program", "pe32", "bare", "design", "curl", "etag", "no-etag", "signed"]
NETNS = "lumvex-bench"
DROPPED = "10.99.0.1"  # the server's address behind the firewall
MULTI = ("multi.lumvex.test", ["10.99.0.1", "10.99.0.2", "10.99.0.3"])  # a name with three such addresses
NOTES_MARK = "<!-- notes: kept when the results are written again -->"
MSI_HEAD = bytes([0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1])  # every package starts so

ENV = dict(os.environ, WINEPREFIX=os.path.join(BUILD, "wineprefix"), WINEDEBUG="-all")
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def run_quiet(argv, **kwargs):
    return subprocess.run(argv, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kwargs)


def wine_processes_cpu():
    """User + system seconds of every running Wine process (wineserver, services, ...)."""
    total = 0
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
            fields = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if "/wine" in exe:
            total += int(fields[11]) + int(fields[12])
    return total / CLOCK_TICKS


class Watch(threading.Thread):
    """Follows a process Wine starts apart from the one we wait for (a PE32 runs in a process
    of its own, started by start.exe): its CPU seconds and peak resident memory, by polling."""

    def __init__(self, name):
        super().__init__(daemon=True)
        self.wanted, self.cpu, self.peak, self.done = name.encode(), 0.0, 0.0, threading.Event()

    def run(self):
        while not self.done.wait(0.02):
            for pid in os.listdir("/proc"):
                try:
                    if not pid.isdigit() or self.wanted not in open("/proc/%s/cmdline" % pid, "rb").read():
                        continue
                    fields = open("/proc/%s/stat" % pid).read().rsplit(")", 1)[1].split()
                    status = open("/proc/%s/status" % pid).read()
                except OSError:
                    continue
                self.cpu = max(self.cpu, (int(fields[11]) + int(fields[12])) / CLOCK_TICKS)
                peak = [line.split()[1] for line in status.splitlines() if line.startswith("VmHWM:")]
                self.peak = max(self.peak, int(peak[0]) / 1024 if peak else 0)


def measure(argv, cwd, watch=None):
    """(wall s, cpu s, peak RSS MiB, exit code) of one run; with watch, of the process of that
    name that Wine started for it."""
    watcher = Watch(watch) if watch else None
    if watcher:
        watcher.start()
    before = wine_processes_cpu()
    start = time.perf_counter()
    process = subprocess.Popen(argv, cwd=cwd, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime + wine_processes_cpu() - before
    peak = usage.ru_maxrss / 1024
    if watcher:
        watcher.done.set()
        watcher.join()
        cpu, peak = cpu + watcher.cpu, watcher.peak
    return wall, cpu, peak, process.returncode


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_packages(folder, sizes):
    os.makedirs(folder, exist_ok=True)
    names = {}
    for size in sizes:
        name = "pkg%d.msi" % size
        path = os.path.join(folder, name)
        if not os.path.exists(path) or os.path.getsize(path) != size * MIB:
            with open(path, "wb") as f:
                f.write(MSI_HEAD + os.urandom(MIB - len(MSI_HEAD)))
                for _ in range(size - 1):
                    f.write(os.urandom(MIB))
        names[size] = name
    return names


def build_signed(work, www, names):
    """The x86-64 program built with a throwaway package key, and the packages signed with it."""
    key = os.path.join(work, "package.key")
    public = os.path.join(work, "package.pub")
    if not os.path.exists(public):
        subprocess.run(["openssl", "genrsa", "-out", key, "3072"], check=True, stderr=subprocess.DEVNULL)
        subprocess.run(["openssl", "rsa", "-in", key, "-pubout", "-out", public], check=True, stderr=subprocess.DEVNULL)
    tree = os.path.join(work, "signed")
    subprocess.run(["cmake", "--preset", "win64", "-B", tree, "-DLUMVEX_TESTS=OFF", "-DLUMVEX_PACKAGE_KEYS=" + public],
                   cwd=ROOT, check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", tree, "--target", "LumvexInstaller"], check=True, stdout=subprocess.DEVNULL)
    for name in names.values():
        subprocess.run([os.path.join(ROOT, "scripts", "sign-package.sh"), "--key", key, os.path.join(www, name)],
                       check=True, stdout=subprocess.DEVNULL)
    return os.path.join(tree, "LumvexInstaller.exe")


def prepare_wine():
    noop = os.path.join(BUILD, "win64", "bench", "bench_noop.exe")
    # The tests' launcher creates the prefix the same way the tests get it.
    subprocess.run([os.path.join(ROOT, "cmake", "wine-run"), "cmd", "/c", "exit"], env=ENV,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.Popen([WINESERVER, "-p"], env=ENV, stdin=subprocess.DEVNULL,
                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).wait()
    command = '"Z:%s" "%%1"' % noop.replace("/", "\\")
    run_quiet([WINE, "reg", "add", r"HKCR\LumvexBench.Package\shell\open\command", "/ve", "/d", command, "/f"],
              check=True)
    open_packages_with("LumvexBench.Package")


def open_packages_with(program):
    """What opens a package in the prefix: the no-op during the benchmark, the system's installer
    after it (the tests share the prefix)."""
    run_quiet([WINE, "reg", "add", r"HKCR\.msi", "/ve", "/d", program, "/f"], check=True)


def start_serve(www, port_file, log, *options, netns=()):
    """demo/serve.py on www, its port once it listens."""
    if os.path.exists(port_file):
        os.remove(port_file)
    server = subprocess.Popen(list(netns) + [sys.executable, os.path.join(ROOT, "demo", "serve.py"), www, port_file]
                              + list(options), stdout=subprocess.DEVNULL, stderr=log)
    for _ in range(100):
        if os.path.exists(port_file) and os.path.getsize(port_file) > 0:
            break
        time.sleep(0.1)
    return server, int(open(port_file).read())


def cut_case(size, name, www, runs):
    """The PE32 resuming after a cut at 90 %: (wall s, bytes after the cut, bytes remaining)."""
    port_file = os.path.join(runs, "cut.port")
    log_path = os.path.join(runs, "cut.log")
    with open(log_path, "w") as log:
        server, _ = start_serve(www, port_file, log, "--drop-at", "0.9")
    try:
        with open(os.path.join(runs, "LumvexInstallerConfig.ini"), "w") as f:
            f.write("ServerAddress=127.0.0.1\r\nServerPort=%s\r\nMsiServerPath=/%s\r\n"
                    "MsiLocalPath=out.msi\r\n" % (open(port_file).read(), name))
        target = os.path.join(runs, "out.msi")
        if os.path.exists(target):
            os.remove(target)
        wall, _, _, code = measure([WINE, os.path.join(BUILD, "win32", "LumvexInstaller.exe")], runs)
    finally:
        server.terminate()
        server.wait()
    requests = [line.split() for line in open(log_path) if line.startswith("server:")]
    if code != 0 or not os.path.exists(target) or os.path.getsize(target) != size * MIB or len(requests) < 2:
        sys.exit("cut at 90 %%, %d MiB: exit code %d, %d requests" % (size, code, len(requests)))
    cut = int(requests[0][3])
    return wall, sum(int(r[3]) for r in requests[1:]), size * MIB - cut


def pe32_path():
    """How the PE32 ran here, and whether that was under emulation (no speed figure then)."""
    described = subprocess.run([os.path.join(ROOT, "scripts", "i386.sh"), "describe"], capture_output=True,
                               text=True).stdout.strip()
    return described, "emulation" in described


def user_proxy(proxy):
    """The user's Internet settings in the prefix: a fixed proxy, or direct when None."""
    text = (proxy or "").encode()
    value = struct.pack("<IIII", 0x46, 1, 3 if proxy else 1, len(text)) + text + struct.pack("<II", 0, 0)
    run_quiet([WINE, "reg", "add", r"HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections",
               "/v", "DefaultConnectionSettings", "/t", "REG_BINARY", "/d", value.hex(), "/f"], check=True)


def firewall_case(name, www, runs):
    """In a network namespace whose firewall drops every packet to the server: (seconds to give
    up, its result, for a name with one address and for one with three; seconds to the package
    through the user's proxy, its result). The name lives in the namespace's own hosts file,
    which `ip netns exec` puts over /etc/hosts for what it runs. Wine's sockets are its
    server's, so a wineserver of the namespace serves every run."""
    loop = os.path.join(BUILD, "win64", "bench", "bench_loop.exe")
    netns = ["ip", "netns", "exec", NETNS]
    etc = os.path.join("/etc/netns", NETNS)
    subprocess.run(["ip", "netns", "del", NETNS], stderr=subprocess.DEVNULL)
    commands = [["ip", "netns", "add", NETNS], netns + ["ip", "link", "set", "lo", "up"]]
    commands += [netns + ["ip", "addr", "add", address + "/32", "dev", "lo"] for address in MULTI[1]]
    commands += [netns + ["iptables", "-A", "INPUT", "-d", address, "-j", "DROP"] for address in MULTI[1]]
    for command in commands:
        subprocess.run(command, check=True)
    os.makedirs(etc, exist_ok=True)
    with open(os.path.join(etc, "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n" + "".join("%s %s\n" % (address, MULTI[0]) for address in MULTI[1]))
    target = os.path.join(runs, "out.msi")
    results = []
    proxy = None
    subprocess.run([WINESERVER, "-k"], env=ENV)
    try:
        subprocess.run(netns + [WINESERVER, "-p"], env=ENV, check=True)
        log = open(os.path.join(runs, "proxy.log"), "w")
        proxy, port = start_serve(www, os.path.join(runs, "proxy.port"), log, netns=netns)
        for server, setting in ((DROPPED, None), (MULTI[0], None), (DROPPED, "127.0.0.1:%d" % port)):
            with open(os.path.join(runs, "LumvexInstallerConfig.ini"), "w") as f:
                f.write("ServerScheme=http\r\nServerAddress=%s\r\nServerPort=80\r\nMsiServerPath=/%s\r\n"
                        "MsiLocalPath=out.msi\r\nMsiSha256=\r\n" % (server, name))
            user_proxy(setting)
            if os.path.exists(target):
                os.remove(target)
            wall, _, _, code = measure(netns + [WINE, loop, "transfer"], runs)
            results += [wall, code]
    finally:
        user_proxy(None)
        if proxy:
            proxy.terminate()
            proxy.wait()
        subprocess.run([WINESERVER, "-k"], env=ENV)
        subprocess.run(["ip", "netns", "del", NETNS])
        shutil.rmtree(etc, ignore_errors=True)
        subprocess.Popen([WINESERVER, "-p"], env=ENV).wait()
    return tuple(results)


class Hostile(threading.Thread):
    """A server that holds a run as long as it can. "bytes": the first answer brings 64 KiB of a
    package that names an ETag and honours ranges, every later one (206s for the rest) a single
    byte, and each connection closes; "head": the answer's head a header line every 20 s, never
    ending; "paced": a package of 4 GiB less a byte whose body comes as 1 byte, 1 byte, then
    16382 bytes, 29 s apart (about 11 KiB a minute, ranges honoured). Counts the requests."""

    def __init__(self, kind):
        super().__init__(daemon=True)
        self.kind, self.requests, self.stop = kind, 0, threading.Event()
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(16)
        self.port = self.listener.getsockname()[1]

    def run(self):
        while not self.stop.is_set():
            try:
                connection, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(connection,), daemon=True).start()

    def serve(self, connection):
        total = 300 * 1024
        with connection:
            head = b""
            while b"\r\n\r\n" not in head:
                data = connection.recv(4096)
                if not data:
                    return
                head += data
            self.requests += 1
            try:
                if self.kind == "head":
                    connection.sendall(b"HTTP/1.1 200 OK\r\n")
                    line = 0
                    while not self.stop.wait(20):
                        connection.sendall(b"X-Line-%d: %d\r\n" % (line, line))
                        line += 1
                    return
                ranged = [l for l in head.split(b"\r\n") if l.lower().startswith(b"range: bytes=")]
                start = int(ranged[0].split(b"=")[1].split(b"-")[0]) if ranged else 0
                if self.kind == "paced":
                    self.pace(connection, start)
                    return
                status = b"206 Partial Content" if start else b"200 OK"
                extra = b"Content-Range: bytes %d-%d/%d\r\n" % (start, total - 1, total) if start else b""
                connection.sendall(b"HTTP/1.1 %s\r\nContent-Length: %d\r\n%sETag: \"h\"\r\n\r\n"
                                   % (status, total - start, extra))
                connection.sendall((MSI_HEAD + bytes(total))[start:start + (1 if start else 64 * 1024)])
            except OSError:
                pass

    def pace(self, connection, start):
        total = 0xFFFFFFFF
        status = b"206 Partial Content" if start else b"200 OK"
        extra = b"Content-Range: bytes %d-%d/%d\r\n" % (start, total - 1, total) if start else b""
        connection.sendall(b"HTTP/1.1 %s\r\nContent-Length: %d\r\n%sETag: \"p\"\r\n\r\n"
                           % (status, total - start, extra))
        offset = start
        for piece in itertools.count():
            size = (1, 1, 16382)[piece % 3]
            # The package's first bytes, then zeros.
            chunk = MSI_HEAD[offset:offset + size]
            connection.sendall(chunk + bytes(size - len(chunk)))
            offset += size
            if self.stop.wait(29):
                return

    def close(self):
        self.stop.set()
        self.listener.close()


def hostile_case(runs):
    """(seconds to the failure, exit status, requests) of the program's transfer against each
    kind of hostile server."""
    loop = os.path.join(BUILD, "win64", "bench", "bench_loop.exe")
    results = []
    for kind in ("bytes", "head", "paced"):
        server = Hostile(kind)
        server.start()
        with open(os.path.join(runs, "LumvexInstallerConfig.ini"), "w") as f:
            f.write("ServerScheme=http\r\nServerAddress=127.0.0.1\r\nServerPort=%d\r\nMsiServerPath=/hostile.msi\r\n"
                    "MsiLocalPath=hostile.msi\r\nMsiSha256=\r\n" % server.port)
        for name in ("hostile.msi.part", "hostile.msi.resume"):
            if os.path.exists(os.path.join(runs, name)):
                os.remove(os.path.join(runs, name))
        try:
            wall, _, _, code = measure([WINE, loop, "transfer"], runs)
        finally:
            server.close()
        results.append((wall, code, server.requests))
    return results


def machine():
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo") if line.startswith("model name")),
               platform.processor())
    memory = next(line.split(":", 1)[1].strip() for line in open("/proc/meminfo") if line.startswith("MemTotal"))
    wine = subprocess.run([WINE, "--version"], capture_output=True, text=True).stdout.strip()
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return [
        "%s %s, %s" % (platform.system(), platform.release(), platform.machine()),
        "%s, %d cores, %s" % (cpu, os.cpu_count(), memory),
        "%s; %s; Python %s http.server" % (wine, curl.split(" (")[0], platform.python_version()),
        pe32_path()[0] + (": its figures measure qemu, not the program" if pe32_path()[1] else ""),
    ]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--sizes", default="16,256", help="package sizes in MiB")
    args = parser.parse_args()
    sizes = [int(s) for s in args.sizes.split(",")]

    work = os.path.join(BUILD, "bench")
    www = os.path.join(work, "www")
    runs = os.path.join(work, "run")
    shutil.rmtree(runs, ignore_errors=True)
    os.makedirs(runs)
    names = make_packages(www, sizes)
    signed_program = build_signed(work, www, names)
    prepare_wine()
    port = free_port()
    server = subprocess.Popen([sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "--directory", www,
                               str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    etag, etag_port = start_serve(www, os.path.join(runs, "etag.port"), subprocess.DEVNULL)
    plain, plain_port = start_serve(www, os.path.join(runs, "plain.port"), subprocess.DEVNULL, "--no-validators")
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            break
        except OSError:
            time.sleep(0.1)

    program = os.path.join(BUILD, "win64", "LumvexInstaller.exe")
    pe32 = os.path.join(BUILD, "win32", "LumvexInstaller.exe")
    loop = os.path.join(BUILD, "win64", "bench", "bench_loop.exe")
    results = {(size, case): [] for size in sizes for case in CASES}
    try:
        for round_ in range(args.rounds):
            for size in sizes:
                path = "/" + names[size]
                # The server each case of the program asks; the rest are told on the command line.
                served = {"etag": etag_port, "no-etag": plain_port, "signed": etag_port}
                argv = {
                    "program": [WINE, program],
                    "etag": [WINE, program],
                    "no-etag": [WINE, program],
                    "signed": [WINE, signed_program],
                    "pe32": [WINE, pe32],
                    "bare": [WINE, loop, "bare", "127.0.0.1", str(port), path, "out.msi"],
                    "design": [WINE, loop, "ui", "127.0.0.1", str(port), path, "out.msi"],
                    "curl": ["curl", "-s", "-o", "out.msi", "http://127.0.0.1:%d%s" % (port, path)],
                }
                # A different order each round, so no case always runs on a warm or a cold cache.
                shift = round_ % len(CASES)
                order = CASES[shift:] + CASES[:shift]
                for case in order:
                    with open(os.path.join(runs, "LumvexInstallerConfig.ini"), "w") as f:
                        f.write("ServerAddress=127.0.0.1\r\nServerPort=%d\r\nMsiServerPath=%s\r\n"
                                "MsiLocalPath=out.msi\r\n" % (served.get(case, port), path))
                    target = os.path.join(runs, "out.msi")
                    if os.path.exists(target):
                        os.remove(target)
                    wall, cpu, peak, code = measure(argv[case], runs, "LumvexInstaller.exe" if case == "pe32" else None)
                    complete = os.path.exists(target) and os.path.getsize(target) == size * MIB
                    if code != 0 or not complete:
                        sys.exit("%s, %d MiB: exit code %d, complete %s" % (case, size, code, complete))
                    results[(size, case)].append((wall, cpu, peak))
                    print("round %d  %3d MiB  %-8s %7.2f s  %7.2f s CPU  %7.1f MiB/s  %6.1f MiB peak"
                          % (round_ + 1, size, case, wall, cpu, size / wall, peak), flush=True)
        largest = max(sizes)
        cut = cut_case(largest, names[largest], www, runs)
        print("cut at 90 %%  %3d MiB  pe32  %7.2f s  %d bytes after the cut, %d remained"
              % (largest, cut[0], cut[1], cut[2]), flush=True)
        smallest = min(sizes)
        firewall = firewall_case(names[smallest], www, runs)
        print("firewall     gives up after %.1f s (exit %d), %.1f s for three addresses (exit %d); "
              "through the user's proxy %.1f s (exit %d)" % firewall, flush=True)
        hostile = hostile_case(runs)
        print("hostile      a byte a try: gives up after %.1f s (exit %d, %d requests); a head line every 20 s: "
              "%.1f s (exit %d, %d requests); paced under the floor: %.1f s (exit %d, %d requests)"
              % (hostile[0] + hostile[1] + hostile[2]), flush=True)
    finally:
        for process in (server, etag, plain):
            process.terminate()
            process.wait()
        open_packages_with("Msi.Package")
        subprocess.run([WINESERVER, "-k"], env=ENV)

    report(results, sizes, args.rounds, (largest,) + cut, (smallest,) + firewall, hostile)


def report(results, sizes, rounds, cut, firewall, hostile):
    median = statistics.median
    lines = ["# Transfer benchmark", "",
             "Written by `scripts/bench.sh` on %s (%d rounds, cases interleaved)." % (time.strftime("%Y-%m-%d"), rounds),
             ""]
    lines += ["- " + line for line in machine()]
    lines += ["", "Medians over the rounds. CPU is user + system time of the process and of Wine's own "
              "processes (wineserver and the services) while it ran.", "",
              "| package | case | wall s | CPU s | MiB/s | peak RSS MiB |", "|---|---|---|---|---|---|"]
    emulated = pe32_path()[1]
    for size in sizes:
        for case in CASES:
            rows = results[(size, case)]
            label = case + (" (emulated)" if case == "pe32" and emulated else "")
            lines.append("| %d MiB | %s | %.2f | %.2f | %.1f | %.1f |" % (
                size, label, median(r[0] for r in rows), median(r[1] for r in rows),
                median(size / r[0] for r in rows), median(r[2] for r in rows)))
    lines += ["", "| package | program / design (wall) | program / bare (wall) | pe32 / program (wall)%s |"
              % (", emulated" if emulated else ""),
              "|---|---|---|---|"]
    ratios = {}
    for size in sizes:
        per_round = list(zip(results[(size, "program")], results[(size, "design")], results[(size, "bare")],
                             results[(size, "pe32")]))
        ratios[size] = median(p[0] / d[0] for p, d, _, _ in per_round)
        lines.append("| %d MiB | %.3f | %.2f | %.3f |" % (
            size, ratios[size], median(p[0] / b[0] for p, _, b, _ in per_round),
            median(w[0] / p[0] for p, _, _, w in per_round)))

    size, wall, after, remaining = cut
    lines += ["", "## Resume after a cut", "",
              "The PE32, %d MiB, the connection dropped once at 90 %% by a server that honours ranges "
              "(`demo/serve.py`):" % size, "",
              "| wall s | bytes sent after the cut | bytes that remained | ratio |", "|---|---|---|---|",
              "| %.2f | %d | %d | %.3f |" % (wall, after, remaining, after / remaining)]

    size, give_up, give_up_code, multi, multi_code, proxied, proxied_code = firewall
    lines += ["", "## Behind a firewall that drops packets", "",
              "The program's transfer (`bench_loop transfer`, no window: it ends where the program shows its "
              "outcome) in a network namespace whose firewall drops every packet to the server, named by its "
              "address and by a name with three such addresses; the last run with the user's proxy set to a "
              "server of the namespace (%d MiB package):" % size, "",
              "| server | user's proxy | wall s | exit status (the result's low byte) |", "|---|---|---|---|",
              "| one address | none: the failure box | %.1f | %d |" % (give_up, give_up_code),
              "| a name with three addresses | none: the failure box | %.1f | %d |" % (multi, multi_code),
              "| one address | set: the package through it | %.1f | %d |" % (proxied, proxied_code)]

    lines += ["", "## Against a hostile server", "",
              "The program's transfer (`bench_loop transfer`) against a server of the benchmark's own that holds "
              "a run as long as it can (one address, no mirror, no user's proxy):", "",
              "| server | wall s to the failure | exit status | requests |", "|---|---|---|---|",
              "| 64 KiB, then one byte a try (206s for the rest, ETag) | %.1f | %d | %d |" % hostile[0],
              "| the answer's head a header line every 20 s, never ending | %.1f | %d | %d |" % hostile[1],
              "| 4 GiB announced, the body 1, 1 and 16382 bytes 29 s apart (ETag) | %.1f | %d | %d |" % hostile[2]]

    lines += ["", "## What a signature costs", "",
              "`signed` against `etag`: the same server and packages, the program built with a package key, "
              "so that it asks for the signature first and hashes the whole package:", "",
              "| package | signed / etag (wall) | signed - etag (wall s) |", "|---|---|---|"]
    for size in sizes:
        per_round = list(zip(results[(size, "signed")], results[(size, "etag")]))
        lines.append("| %d MiB | %.3f | %+.2f |" % (size, median(s[0] / e[0] for s, e in per_round),
                                                     median(s[0] - e[0] for s, e in per_round)))

    pe32 = os.path.getsize(os.path.join(BUILD, "win32", "LumvexInstaller.exe"))
    lines += ["", "## Targets", "", "| target | measured | |", "|---|---|---|"]
    for size in sizes:
        lines.append("| program within 5 %% of design, %d MiB | %+.1f %% | %s |" % (
            size, (ratios[size] - 1) * 100, "met" if ratios[size] <= 1.05 else
            "missed by %.1f points" % ((ratios[size] - 1.05) * 100)))
    for size in sizes:
        per_round = zip(results[(size, "no-etag")], results[(size, "etag")])
        ratio = median(n[0] / e[0] for n, e in per_round)
        lines.append("| no validators within 5 %% of an ETag, %d MiB | %+.1f %% | %s |" % (
            size, (ratio - 1) * 100, "met" if ratio <= 1.05 else "missed by %.1f points" % ((ratio - 1.05) * 100)))
    if len(sizes) >= 2:
        small, large = min(sizes), max(sizes)
        growth = median(r[2] for r in results[(large, "program")]) - median(r[2] for r in results[(small, "program")])
        lines.append("| program peak memory, %d MiB vs %d MiB, within 1 MiB | %+.2f MiB | %s |" % (
            large, small, growth, "met" if growth <= 1 else "missed by %.2f MiB" % (growth - 1)))
    lines.append("| PE32 at most 64 KiB | %d bytes (%.1f KiB) | %s |" % (
        pe32, pe32 / 1024, "met" if pe32 <= 65536 else "missed by %d bytes" % (pe32 - 65536)))

    text = "\n".join(lines) + "\n"
    print()
    print(text)
    path = os.path.join(ROOT, "bench", "RESULTS.md")
    notes = ""
    if os.path.exists(path):
        old = open(path, encoding="utf-8").read()
        if NOTES_MARK in old:
            notes = old[old.index(NOTES_MARK):]
    with open(path, "w", encoding="utf-8") as f:
        f.write(text + "\n" + (notes or NOTES_MARK + "\n"))


if __name__ == "__main__":
    main()
