#!/usr/bin/env python3
"""The HTTPS server of the Windows-side tests: a throwaway CA, trusted in the test prefix, that
signs a certificate for localhost, and demo/serve.py over TLS on loopback, serving DIR/www.
Beside it DIR/small-volume, a volume of 24 MiB (a tmpfs: root, or sudo without a password),
where a length the disk cannot hold is refused.
  tls_fixture.py start DIR WINE_RUN TRUST_CA_EXE    (the port goes to DIR/port)
  tls_fixture.py stop DIR"""
import os
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


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


def stop(folder):
    try:
        os.kill(int(open(os.path.join(folder, "pid")).read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    for name in ("pid", "port"):
        if os.path.exists(os.path.join(folder, name)):
            os.remove(os.path.join(folder, name))
    unmount_small_volume(folder)


def start(folder, wine_run, trust_ca):
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
            return
        time.sleep(0.1)
    sys.exit("the HTTPS server did not start; see %s" % os.path.join(folder, "server.log"))


if __name__ == "__main__":
    if sys.argv[1] == "start":
        start(*sys.argv[2:5])
    else:
        stop(sys.argv[2])
