"""nginx and Apache from Debian's packages on loopback ports, set up as publishers set them up,
for the tests: each serves a folder of files with the directives a test gives, in a session of its
own (so that a fixture may leave it running), until close() or stop(pid, folder)."""
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(port, process, log):
    for _ in range(200):
        if process.poll() is not None:
            raise RuntimeError("the server ended at once; see %s" % log)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.2):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the server did not listen; see %s" % log)


def stop(pid, folder):
    try:
        os.kill(pid, signal.SIGTERM)
    except OSError:
        pass
    shutil.rmtree(folder, ignore_errors=True)


class Server:
    """A folder of its own, outside any private one (Apache serves it as www-data): www/ holds
    the files (name: source path, or the bytes themselves)."""

    def __init__(self, name, files):
        self.folder = tempfile.mkdtemp(prefix="lumvex-%s-" % name)
        self.www = os.path.join(self.folder, "www")
        os.makedirs(self.www)
        for served, source in files.items():
            os.makedirs(os.path.dirname(os.path.join(self.www, served)), exist_ok=True)
            if isinstance(source, bytes):
                with open(os.path.join(self.www, served), "wb") as f:
                    f.write(source)
            else:
                shutil.copy(source, os.path.join(self.www, served))
        # Apache drops its rights to www-data: everything here must be readable to it. Uploaded
        # an hour ago: a file of this very second gets only a weak ETag and date from Apache.
        uploaded = time.time() - 3600
        for root, folders, names in os.walk(self.folder):
            os.chmod(root, 0o755)
            for name in names:
                os.chmod(os.path.join(root, name), 0o644)
                os.utime(os.path.join(root, name), (uploaded, uploaded))
        self.port = free_port()
        self.process = None

    def run(self, argv, log):
        self.process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL, start_new_session=True)
        wait_for(self.port, self.process, log)

    def close(self):
        if self.process is not None and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        shutil.rmtree(self.folder, ignore_errors=True)


class Nginx(Server):
    """block: what goes inside server { }, "{port}" standing for its own port; http: what goes
    beside it (upstreams, cache zones), "{folder}" standing for its own folder; tls: (certificate,
    key) to serve HTTPS with."""

    def __init__(self, name, files, block="", http="", tls=None, protocols="TLSv1.2 TLSv1.3"):
        super().__init__(name, files)
        listen = "listen 127.0.0.1:%d%s;" % (self.port, " ssl" if tls else "")
        certificate = "ssl_certificate %s; ssl_certificate_key %s; ssl_protocols %s;" % (tls + (protocols,)) if tls else ""
        temp = os.path.join(self.folder, "temp")
        os.makedirs(temp)
        conf = os.path.join(self.folder, "nginx.conf")
        with open(conf, "w") as f:
            f.write("""daemon off;
worker_processes 1;
pid %(folder)s/nginx.pid;
error_log %(folder)s/error.log;
events { worker_connections 64; }
http {
    access_log %(folder)s/access.log;
    client_body_temp_path %(temp)s; proxy_temp_path %(temp)s; fastcgi_temp_path %(temp)s;
    uwsgi_temp_path %(temp)s; scgi_temp_path %(temp)s;
    types { application/x-msi msi; text/plain sig; text/html html; }
    %(http)s
    server {
        %(listen)s
        %(certificate)s
        root %(www)s;
        %(block)s
    }
}
""" % dict(folder=self.folder, temp=temp, http=http.replace("{port}", str(self.port)).replace("{folder}", self.folder), listen=listen,
                certificate=certificate, www=self.www, block=block.replace("{port}", str(self.port))))
        self.run(["nginx", "-c", conf, "-p", self.folder], os.path.join(self.folder, "error.log"))


class Apache(Server):
    """directives: what goes at the end of the configuration, "{port}" standing for its own port."""

    MODULES = ["mpm_event", "authz_core", "alias", "mime", "dir", "rewrite", "headers"]

    def __init__(self, name, files, directives=""):
        super().__init__(name, files)
        conf = os.path.join(self.folder, "apache.conf")
        modules = "\n".join("LoadModule %s_module /usr/lib/apache2/modules/mod_%s.so" % (m, m) for m in self.MODULES)
        with open(conf, "w") as f:
            f.write("""ServerRoot %(folder)s
ServerName localhost
Listen 127.0.0.1:%(port)d
PidFile %(folder)s/apache.pid
ErrorLog %(folder)s/error.log
%(modules)s
TypesConfig /etc/mime.types
User www-data
Group www-data
DocumentRoot %(www)s
<Directory %(www)s>
    Require all granted
</Directory>
%(directives)s
""" % dict(folder=self.folder, port=self.port, modules=modules, www=self.www,
                directives=directives.replace("{port}", str(self.port))))
        self.run(["apache2", "-f", conf, "-DFOREGROUND"], os.path.join(self.folder, "error.log"))
