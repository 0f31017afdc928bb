#!/usr/bin/env python3
"""lumvex-check against the project's own test server (demo/serve.py, over HTTP and HTTPS, set up
right and wrong) with packages signed by the signing script:
  check_hosts.py LUMVEX_CHECK WORK_DIR CMAKE
Each row starts its servers, runs the tool and compares the verdict of every host, the reason
given and the exit status."""
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
import tls_fixture  # noqa: E402  (its throwaway CA and certificate for localhost)

ENV = {k: v for k, v in os.environ.items() if "proxy" not in k.lower()}


class Serve:
    """demo/serve.py on a folder holding the given files (served name: file in the signed set)."""
    started = 0

    def __init__(self, work, files, *options, tls=None):
        Serve.started += 1
        self.folder = os.path.join(work, "www-%d" % Serve.started)
        os.makedirs(self.folder)
        for served, source in files.items():
            shutil.copy(os.path.join(work, "signed", source), os.path.join(self.folder, served))
        port_file = self.folder + ".port"
        extra = ["--tls", os.path.join(tls, "server.pem"), os.path.join(tls, "server.key")] if tls else []
        self.process = subprocess.Popen([sys.executable, os.path.join(ROOT, "demo", "serve.py"), self.folder, port_file]
                                        + list(options) + extra, stderr=subprocess.DEVNULL)
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


def row(label, servers, options, expected, status, within=None):
    """servers: (files, serve.py options, "tls" or None), the first the main one; options may name
    "{port0}", "{port1}", "{tls}", "{settings}"; expected: (verdict, part of the first reason) per
    host, in the program's order."""
    return dict(label=label, servers=servers, options=options, expected=expected, status=status, within=within)


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
    row("a host that takes the connection and says nothing", [("silent", [], None)], ["--answer-wait", "2"],
        [("leaves", "no answer: no whole answer within 2 s")], 1, within=20),
    row("the settings file over the options, the mirrors in its order",
        [(SIGNED, [], None), (UNSIGNED, [], None)],
        ["--port", "1", "--settings", "{settings}", "--package-key", "{signed}/a.pub"],
        [("serves", None), ("leaves", "no signature")], 1),
    row("settings that do not read", [(SIGNED, [], None)], ["--local", "LumvexSetup.exe"],
        [("leaves", "MsiLocalPath is not a package's path")], 1),
    row("an option that does not read", [(SIGNED, [], None)], ["--port", "70000"], [], 2),
]


def run_row(tool, work, tls, case):
    servers = [None] * len(case["servers"])
    try:
        # A redirect's target is a later server: started first, its port known.
        for index in reversed(range(len(servers))):
            files, options, secure = case["servers"][index]
            if files == "silent":
                servers[index] = Silent()
                continue
            for later in range(index + 1, len(servers)):
                options = [o.replace("{port%d}" % later, str(servers[later].port)) for o in options]
            servers[index] = Serve(work, files, *options, tls=tls if secure else None)
        with open(os.path.join(work, "LumvexInstallerConfig.ini"), "w") as f:
            f.write("ServerPort=%d\r\nServerMirrors=%s\r\n" % (
                servers[0].port, ",".join("127.0.0.1:%d" % s.port for s in servers[1:])))
        names = {"{signed}": os.path.join(work, "signed"), "{tls}": tls,
                 "{settings}": os.path.join(work, "LumvexInstallerConfig.ini")}
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
    got = json.loads(done.stdout) if done.stdout.strip() else []
    if len(got) != len(case["expected"]):
        failures.append("%d hosts reported, not %d" % (len(got), len(case["expected"])))
    for host, (verdict, reason) in zip(got, case["expected"]):
        if host["verdict"] != verdict or (reason is not None and not any(reason in r for r in host["reasons"])):
            failures.append("%s:%d: %s %s, not %s with \"%s\"" % (host["host"], host["port"], host["verdict"],
                                                                 host["reasons"], verdict, reason))
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
