#!/usr/bin/env python3
"""lumvex-check against the servers publishers run (nginx and Apache from Debian's packages, a
cache and a balancer made of nginx) and the project's own test server (demo/serve.py, for what
real servers cannot be made to do), over HTTP and HTTPS, set up right and wrong, with packages
signed by the signing script:
  check_hosts.py LUMVEX_CHECK WORK_DIR CMAKE
Each row starts its servers, runs the tool and compares the verdict of every host, the reason
given, the lines it names and the exit status."""
import json
import os
import shutil
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "win32"))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))
import tls_fixture  # noqa: E402  (its throwaway CA and certificate for localhost)
from real_servers import Apache, Nginx, free_port  # noqa: E402

ENV = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


class Serve:
    """demo/serve.py on a folder holding the given files (served name: file in the signed set)."""
    started = 0

    def __init__(self, work, files, *options, tls=None, port=0):
        Serve.started += 1
        self.folder = os.path.join(work, "www-%d" % Serve.started)
        os.makedirs(self.folder)
        for served, source in files.items():
            shutil.copy(os.path.join(work, "signed", source), os.path.join(self.folder, served))
        port_file = self.folder + ".port"
        extra = ["--tls", os.path.join(tls, "server.pem"), os.path.join(tls, "server.key")] if tls else []
        self.process = subprocess.Popen([sys.executable, os.path.join(ROOT, "demo", "serve.py"), self.folder, port_file,
                                         "--port", str(port)] + list(options) + extra, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if os.path.exists(port_file):
                break
            time.sleep(0.05)
        self.port = int(open(port_file).read())

    def close(self):
        self.process.terminate()
        self.process.wait()


class Silent(threading.Thread):
    """Takes connections and never answers."""

    def __init__(self):
        super().__init__(daemon=True)
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        self.held = []
        self.start()

    def run(self):
        while True:
            try:
                self.held.append(self.listener.accept()[0])
            except OSError:
                return

    def close(self):
        self.listener.close()


SIGNED = {"LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "a.sig"}
UNSIGNED = {"LumvexSetup.msi": "LumvexSetup.msi"}


def row(label, servers, options, expected, status, within=None, listed=None, lines=(), prepare=None):
    """servers: (files, serve.py options, "tls" or None), or a function (work, tls, later ports) that
    starts a real server; the first the main one, the next the mirrors, the last beyond listed
    only where redirects lead. options may name "{port0}", "{port1}", "{tls}", "{settings}";
    expected: (verdict, part of a reason) per host, in the program's order; lines: (host, check,
    part of its result); prepare(servers, work): before the tool runs."""
    return dict(label=label, servers=servers, options=options, expected=expected, status=status, within=within,
                listed=listed, lines=lines, prepare=prepare)


def signed(work, name):
    return os.path.join(work, "signed", name)


def nginx(files, block, http="", secure=False, protocols="TLSv1.2 TLSv1.3"):
    """An nginx of the row: files (served name: file of the signed set), its server block and
    what goes beside it, "{port1}" and so on naming later servers' ports."""
    def start(work, tls, ports):
        text = [block, http]
        for index, port in ports.items():
            text = [t.replace("{port%d}" % index, str(port)) for t in text]
        certificate = (os.path.join(tls, "server.pem"), os.path.join(tls, "server.key")) if secure else None
        # A value that starts as a page is the page itself.
        sources = {n: f.encode() if f.startswith("<") else signed(work, f) for n, f in files.items()}
        return Nginx("nginx", sources, text[0], text[1], certificate, protocols)
    return start


def apache(files, directives):
    def start(work, tls, ports):
        text = directives
        for index, port in ports.items():
            text = text.replace("{port%d}" % index, str(port))
        return Apache("apache", {n: signed(work, f) for n, f in files.items()}, text)
    return start


def later(port_of_row_server, files, *options):
    """demo/serve.py started after a delay, on a port chosen beforehand: a backend coming back."""
    def start(work, tls, ports):
        return Delayed(work, files, port_of_row_server, *options)
    return start


class Delayed:
    """A backend that comes up only some seconds after the row starts."""

    def __init__(self, work, files, delay, *options):
        self.port = free_port()
        self.server = None
        self.timer = threading.Timer(delay, self.begin, (work, files, options))
        self.timer.start()

    def begin(self, work, files, options):
        self.server = Serve(work, files, *options, port=self.port)

    def close(self):
        self.timer.cancel()
        self.timer.join()
        if self.server is not None:
            self.server.close()


def stale_cache(servers, work):
    """Through the cache, the signature of the package before; the origin then gets a newly signed
    package of the same length, and its signature, which the cache does not know."""
    cache, origin = servers[0], servers[1]
    subprocess.run(["curl", "-s", "-o", "/dev/null", "http://127.0.0.1:%d/LumvexSetup.msi.sig" % cache.port],
                   check=True, env=ENV)
    shutil.copy(signed(work, "Other.msi"), os.path.join(origin.folder, "LumvexSetup.msi"))
    shutil.copy(signed(work, "changed.sig"), os.path.join(origin.folder, "LumvexSetup.msi.sig"))


def newer_copy(servers, work):
    """The second backend's copy of the package carries another date, and so another ETag."""
    path = os.path.join(servers[2].folder, "LumvexSetup.msi")
    os.utime(path, (time.time() - 86400, time.time() - 86400))


REDIRECT_PAGE = "return 301 /cdn$request_uri;"


ROWS = [
    row("a good host, the whole package checked", [(SIGNED, [], None)],
        ["--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0),
    row("the demo's own server, signed by the second key while moving to it",
        [({"LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "b.sig"}, ["--rate", "4194304", "--drop-at", "0.6"], None)],
        ["--package-key", "{signed}/a.pub", "--package-key", "{signed}/b.pub"], [("serves", None)], 0),
    row("gzip on the signature and the package", [(SIGNED, ["--gzip"], None)],
        ["--package-key", "{signed}/a.pub"], [("leaves", "the signature comes gzip-encoded")], 1),
    row("gzip on the package", [(UNSIGNED, ["--gzip"], None)], [], [("leaves", "the package comes gzip-encoded")], 1),
    row("ranges ignored", [(SIGNED, ["--no-ranges"], None)], ["--package-key", "{signed}/a.pub"],
        [("warnings", "ranges are ignored")], 0),
    row("a weak ETag and no Last-Modified", [(UNSIGNED, ["--weak-etag"], None)], [],
        [("warnings", "no ETag or Last-Modified")], 0),
    row("no validator at all", [(UNSIGNED, ["--no-validators"], None)], [], [("warnings", "no ETag or Last-Modified")], 0),
    row("the signature missing", [(UNSIGNED, [], None)], ["--package-key", "{signed}/a.pub"],
        [("leaves", "no signature: /LumvexSetup.msi.sig answers 404")], 1),
    row("signed by another key", [({"LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "c.sig"}, [], None)],
        ["--package-key", "{signed}/a.pub"], [("leaves", "not made by a key given")], 1),
    row("signed for another name",
        [({"LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "other-name.sig"}, [], None)],
        ["--package-key", "{signed}/a.pub"], [("leaves", "made for Other.msi")], 1),
    row("signed before the oldest signature taken",
        [({"LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "old.sig"}, [], None)],
        ["--package-key", "{signed}/a.pub", "--package-not-before", "1500000000"], [("leaves", "older than the oldest")], 1),
    row("the package replaced after signing, of the same length",
        [({"LumvexSetup.msi": "Other.msi", "LumvexSetup.msi.sig": "a.sig"}, [], None)],
        ["--package-key", "{signed}/a.pub", "--full"], [("leaves", "not the one the signature names")], 1),
    row("https with a certificate for the name", [(SIGNED, [], "tls")],
        ["--scheme", "https", "--server", "localhost", "--ca", "{tls}/ca.pem", "--package-key", "{signed}/a.pub"],
        [("serves", None)], 0),
    row("a certificate for another name", [(SIGNED, [], "tls")],
        ["--scheme", "https", "--server", "127.0.0.1", "--ca", "{tls}/ca.pem"], [("leaves", "the certificate or TLS failed")], 1),
    row("a redirect from https to http", [(SIGNED, ["--redirect-to", "http://127.0.0.1:{port1}"], "tls"), (SIGNED, [], None)],
        ["--scheme", "https", "--server", "localhost", "--ca", "{tls}/ca.pem"],
        [("leaves", "redirect from https to http is refused")], 1),
    row("a redirect from http to https is followed", [(SIGNED, ["--redirect-to", "https://localhost:{port1}"], None),
                                                       (SIGNED, [], "tls")],
        ["--ca", "{tls}/ca.pem", "--package-key", "{signed}/a.pub"], [("serves", None)], 0),
    row("a host that takes the connection and says nothing", [("silent", [], None)],
        ["--answer-wait", "2", "--retry-span", "0"], [("leaves", "no answer: no whole answer within 2 s")], 1, within=30),
    row("the settings file over the options, the mirrors in its order",
        [(SIGNED, [], None), (UNSIGNED, [], None)],
        ["--port", "1", "--settings", "{settings}", "--package-key", "{signed}/a.pub"],
        [("serves", None), ("leaves", "no signature")], 1),
    row("one host of the list alone", [(SIGNED, [], None), (UNSIGNED, [], None)],
        ["--port", "1", "--settings", "{settings}", "--package-key", "{signed}/a.pub", "--host", "127.0.0.1:{port1}"],
        [("leaves", "no signature")], 1),
    row("settings that do not read", [(SIGNED, [], None)], ["--local", "LumvexSetup.exe"],
        [("leaves", "MsiLocalPath is not a package's path")], 1),
    row("an option that does not read", [(SIGNED, [], None)], ["--port", "70000"], [], 2),
    # The servers publishers run. Their redirects come with a page of their own.
    row("nginx: the whole site moved to another host with a 301 and its page",
        [nginx({}, "return 301 http://127.0.0.1:{port1}$request_uri;"), (SIGNED, [], None)],
        ["--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0, listed=1,
        lines=[(0, "redirect", "301 to http://127.0.0.1:"), (0, "digest", "matches the signature")]),
    row("nginx: the package alone moved with a 301 and its page",
        [nginx({"cdn/LumvexSetup.msi": "LumvexSetup.msi", "LumvexSetup.msi.sig": "a.sig"},
               "location = /LumvexSetup.msi { " + REDIRECT_PAGE + " }")],
        ["--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0,
        lines=[(0, "resume", "a cut continues here")]),
    row("nginx: three 302s in a row, for the signature and the package alike, each a line",
        [nginx({"c/LumvexSetup.msi": "LumvexSetup.msi", "c/LumvexSetup.msi.sig": "a.sig"},
               "location ~ ^/(Lumvex.*)$ { return 302 /a/$1; } location ~ ^/a/(.*)$ { return 302 /b/$1; } "
               "location ~ ^/b/(.*)$ { return 302 /c/$1; }")],
        ["--package-key", "{signed}/a.pub"], [("serves", None)], 0,
        lines=[(0, "redirect", "/a/LumvexSetup.msi.sig: followed"), (0, "redirect", "/a/LumvexSetup.msi: followed"),
               (0, "redirect", "/c/LumvexSetup.msi: followed")]),
    row("Apache: a 302 and its page", [apache({"cdn/LumvexSetup.msi": "LumvexSetup.msi", "cdn/LumvexSetup.msi.sig": "a.sig"},
                                               "RedirectMatch 302 ^/(LumvexSetup.*)$ /cdn/$1")],
        ["--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0),
    row("a mirror behind a chain of redirects",
        [(UNSIGNED, [], None), nginx({"c/LumvexSetup.msi": "LumvexSetup.msi", "c/LumvexSetup.msi.sig": "a.sig"},
                                     "location ~ ^/(Lumvex.*)$ { return 302 /b/$1; } location ~ ^/b/(.*)$ { return 301 /c/$1; }")],
        ["--settings", "{settings}", "--package-key", "{signed}/a.pub"], [("leaves", "no signature"), ("serves", None)], 1),
    row("nginx: http to https, with package keys",
        [nginx({}, "return 301 https://localhost:{port1}$request_uri;"), nginx(SIGNED, "", secure=True)],
        ["--ca", "{tls}/ca.pem", "--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0, listed=1),
    row("nginx: only TLS 1.3", [nginx(SIGNED, "", secure=True, protocols="TLSv1.3")],
        ["--scheme", "https", "--server", "localhost", "--ca", "{tls}/ca.pem"], [("leaves", "offers no TLS 1.2")], 1),
    row("nginx: a soft 404, the package missing and a page answering 200",
        [nginx({"index.html": "<html><body>Welcome to our downloads</body></html>"}, "error_page 404 =200 /index.html;")], [],
        [("leaves", "an HTML page answers where the package should be")], 1),
    # A cache of nginx in front of the origin holds the signature from before.
    row("a stale cache: the old signature before a newly signed package of the same length",
        [nginx({}, "location / { proxy_pass http://127.0.0.1:{port1}; proxy_cache files; proxy_cache_valid 200 1h; }",
               http="proxy_cache_path {folder}/cache keys_zone=files:1m;"),
         (SIGNED, [], None)],
        ["--package-key", "{signed}/a.pub", "--full"], [("leaves", "not the one the signature names")], 1, listed=1,
        prepare=stale_cache),
    # A balancer of nginx over two backends: each names the file by its own ETag.
    row("a balancer over two backends that name the package differently",
        [nginx({}, "location / { proxy_pass http://backends; }",
               http="upstream backends { server 127.0.0.1:{port1}; server 127.0.0.1:{port2}; }"),
         (SIGNED, [], None), (SIGNED, [], None)],
        [], [("warnings", "a range is answered with another ETag")], 0, listed=1, prepare=newer_copy),
    # nginx marks a backend down for 10 s after a failure and answers 502 meanwhile: the program
    # retries for a minute, and so does the check.
    row("a balancer's 502s while its backend comes back",
        [nginx({}, "location / { proxy_pass http://127.0.0.1:{port1}; }"), later(8, SIGNED)],
        ["--package-key", "{signed}/a.pub"], [("serves", None)], 0, listed=1, within=60,
        lines=[(0, "signature", "then this")]),
    row("a body cut once half-way: the rest comes as a 206", [(SIGNED, ["--drop-at", "0.5"], None)],
        ["--package-key", "{signed}/a.pub", "--full"], [("serves", None)], 0,
        lines=[(0, "digest", "cut at 50 %, the rest came as a 206")]),
]


def run_row(tool, work, tls, case):
    servers = [None] * len(case["servers"])
    try:
        # A redirect's target is a later server: started first, its port known.
        for index in reversed(range(len(servers))):
            wanted = case["servers"][index]
            ports = {later: servers[later].port for later in range(index + 1, len(servers))}
            if callable(wanted):
                servers[index] = wanted(work, tls, ports)
                continue
            files, options, secure = wanted
            if files == "silent":
                servers[index] = Silent()
                continue
            for later, port in ports.items():
                options = [o.replace("{port%d}" % later, str(port)) for o in options]
            servers[index] = Serve(work, files, *options, tls=tls if secure else None)
        if case["prepare"] is not None:
            case["prepare"](servers, work)
        listed = servers[:case["listed"] or len(servers)]
        with open(os.path.join(work, "LumvexInstallerConfig.ini"), "w") as f:
            f.write("ServerPort=%d\r\nServerMirrors=%s\r\n" % (
                listed[0].port, ",".join("127.0.0.1:%d" % s.port for s in listed[1:])))
        names = {"{signed}": os.path.join(work, "signed"), "{tls}": tls,
                 "{settings}": os.path.join(work, "LumvexInstallerConfig.ini")}
        names.update({"{port%d}" % index: str(server.port) for index, server in enumerate(servers)})
        options = []
        for option in case["options"]:
            for name, value in names.items():
                option = option.replace(name, value)
            options.append(option)
        if "--server" not in options:
            options = ["--server", "127.0.0.1"] + options
        if "--port" not in options:
            options = ["--port", str(servers[0].port)] + options
        start = time.monotonic()
        done = subprocess.run([tool, "--json"] + options, capture_output=True, text=True, env=ENV, timeout=300)
        took = time.monotonic() - start
    finally:
        for server in servers:
            if server is not None:
                server.close()
    failures = []
    if done.returncode != case["status"]:
        failures.append("exit status %d, not %d" % (done.returncode, case["status"]))
    if case["within"] is not None and took > case["within"]:
        failures.append("took %.1f s, more than %d" % (took, case["within"]))
    got = [host for host in (json.loads(done.stdout) if done.stdout.strip() else []) if "host" in host]
    if len(got) != len(case["expected"]):
        failures.append("%d hosts reported, not %d" % (len(got), len(case["expected"])))
    for host, (verdict, reason) in zip(got, case["expected"]):
        if host["verdict"] != verdict or (reason is not None and not any(reason in r for r in host["reasons"])):
            failures.append("%s:%d: %s %s, not %s with \"%s\"" % (host["host"], host["port"], host["verdict"],
                                                                 host["reasons"], verdict, reason))
    for index, check, part in case["lines"]:
        results = [line["result"] for line in got[index]["checks"] if line["check"] == check] if index < len(got) else []
        if not any(part in result for result in results):
            failures.append("no %s line with \"%s\": %s" % (check, part, results))
    return failures, done


def main():
    tool, work, cmake = sys.argv[1:4]
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    subprocess.run([sys.executable, os.path.join(ROOT, "tests", "win32", "signed_fixture.py"), os.path.join(work, "signed"),
                    cmake], check=True)
    tls = os.path.join(work, "tls")
    os.makedirs(tls)
    tls_fixture.make_certificates(tls)
    failed = 0
    for case in ROWS:
        failures, done = run_row(tool, work, tls, case)
        print("%s: %s" % ("FAILED" if failures else "ok", case["label"]))
        for failure in failures:
            print("    " + failure)
        if failures:
            print(done.stdout + done.stderr)
        failed += bool(failures)
    print("%d of %d rows failed" % (failed, len(ROWS)))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
