#!/usr/bin/env python3
"""The servers of the Windows-side transfer tests: a throwaway CA, trusted in the test prefix,
that signs a certificate for localhost, and demo/serve.py over TLS on loopback, serving DIR/www;
nginx and Apache from Debian's packages as publishers run them, each redirecting with a page of
its own to the signed package and its signature in SIGNED (their ports go to DIR/real-servers);
and DIR/small-volume, a volume of 24 MiB (a tmpfs: root, or sudo without a password), where a
length the disk cannot hold is refused.
  tls_fixture.py start DIR WINE_RUN TRUST_CA_EXE SIGNED    (the port goes to DIR/port)
  tls_fixture.py stop DIR"""
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tests", "servers"))
import real_servers  # noqa: E402


def openssl(*args, cwd):
    subprocess.run(["openssl"] + list(args), cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def make_certificates(folder):
    if os.path.exists(os.path.join(folder, "ca.der")):
        return
    openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "3650",
            "-subj", "/CN=Lumvex Test CA", "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,keyCertSign,cRLSign", cwd=folder)
    openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", "server.key", "-out", "server.csr",
            "-subj", "/CN=localhost", cwd=folder)
    with open(os.path.join(folder, "server.ext"), "w") as f:
        # Matched by DNS name only: the tests connect to "localhost".
        f.write("subjectAltName=DNS:localhost\nextendedKeyUsage=serverAuth\nbasicConstraints=CA:FALSE\n")
    openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
            "-out", "server.pem", "-days", "3650", "-extfile", "server.ext", cwd=folder)
    openssl("x509", "-in", "ca.pem", "-outform", "der", "-out", "ca.der.new", cwd=folder)
    os.replace(os.path.join(folder, "ca.der.new"), os.path.join(folder, "ca.der"))


def sudo():
    return [] if os.geteuid() == 0 else ["sudo", "-n"]


def unmount_small_volume(folder):
    volume = os.path.join(folder, "small-volume")
    if os.path.ismount(volume):
        subprocess.run(sudo() + ["umount", volume], check=True)


def mount_small_volume(folder):
    volume = os.path.join(folder, "small-volume")
    os.makedirs(volume, exist_ok=True)
    unmount_small_volume(folder)
    if subprocess.run(sudo() + ["mount", "-t", "tmpfs", "-o", "size=24m,mode=0777", "lumvex-small", volume]).returncode:
        sys.exit("cannot mount a tmpfs at %s: the tests need root, or sudo without a password" % volume)


def start_real_servers(folder, signed):
    """Each a "name=port" line in DIR/real-servers, and "pid folder" in DIR/real-servers.pids."""
    files = {"cdn/LumvexSetup.msi": os.path.join(signed, "LumvexSetup.msi"),
             "cdn/LumvexSetup.msi.sig": os.path.join(signed, "a.sig")}
    at_root = {"LumvexSetup.msi": files["cdn/LumvexSetup.msi"], "LumvexSetup.msi.sig": files["cdn/LumvexSetup.msi.sig"]}
    servers = [("nginx-chain", real_servers.Nginx("nginx-chain", files, "location ~ ^/(Lumvex.*)$ { return 302 /a/$1; } "
                                                  "location ~ ^/a/(.*)$ { return 301 /cdn/$1; }")),
               ("apache", real_servers.Apache("apache", files, "RedirectMatch 302 ^/(LumvexSetup.*)$ /cdn/$1")),
               ("nginx-tls", real_servers.Nginx("nginx-tls", at_root, "", tls=(os.path.join(folder, "server.pem"),
                                                                               os.path.join(folder, "server.key"))))]
    servers.append(("nginx-to-tls", real_servers.Nginx("nginx-to-tls", {}, "return 301 https://localhost:%d$request_uri;"
                                                       % servers[-1][1].port)))
    with open(os.path.join(folder, "real-servers.pids"), "w") as f:
        f.writelines("%d %s\n" % (server.process.pid, server.folder) for _, server in servers)
    with open(os.path.join(folder, "real-servers"), "w") as f:
        f.writelines("%s=%d\n" % (name, server.port) for name, server in servers)


def stop_real_servers(folder):
    pids = os.path.join(folder, "real-servers.pids")
    if os.path.exists(pids):
        for line in open(pids):
            pid, where = line.split(" ", 1)
            real_servers.stop(int(pid), where.strip())
        os.remove(pids)


def stop(folder):
    try:
        os.kill(int(open(os.path.join(folder, "pid")).read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for name in ("pid", "port", "real-servers"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    stop_real_servers(folder)
    unmount_small_volume(folder)


def start(folder, wine_run, trust_ca, signed):
    os.makedirs(os.path.join(folder, "www"), exist_ok=True)
    stop(folder)
    mount_small_volume(folder)
    make_certificates(folder)
    subprocess.run([wine_run, trust_ca, "Z:" + os.path.join(folder, "ca.der").replace("/", "\\")], check=True,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(folder, "server.log"), "w") as log:
        server = subprocess.Popen([sys.executable, os.path.join(ROOT, "demo", "serve.py"), os.path.join(folder, "www"),
                                   os.path.join(folder, "port"), "--tls", os.path.join(folder, "server.pem"),
                                   os.path.join(folder, "server.key")],
                                  stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    with open(os.path.join(folder, "pid"), "w") as f:
        f.write(str(server.pid))
    for _ in range(100):
        if os.path.exists(os.path.join(folder, "port")):
            break
        time.sleep(0.1)
    else:
        sys.exit("the HTTPS server did not start; see %s" % os.path.join(folder, "server.log"))
    start_real_servers(folder, signed)


if __name__ == "__main__":
    if sys.argv[1] == "start":
        start(*sys.argv[2:6])
    else:
        stop(sys.argv[2])
