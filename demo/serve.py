#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 as common servers do (ETag, Last-Modified, Range, If-Range; or,
as some do, none of them, a weak ETag, no ranges, everything gzip-encoded, or a redirect
elsewhere), over HTTP or HTTPS, at a limited rate, and can drop the connection once part-way
through a body (of 64 KiB or more: a signature beside a package goes whole).
A file NAME.answer beside NAME is sent as it is, head and body, as the answer for NAME, as a
login page or a host's own error would come. Writes the chosen port to PORT_FILE. Logs one line per request to stderr: "server: <status>
<first byte> <bytes sent> <path>". A request in a proxy's absolute form is served as one for
its last path element."""
import argparse
import email.utils
import gzip
import http.server
import os
import ssl
import sys
import threading
import time

CHUNK = 32 * 1024


class Handler(http.server.BaseHTTPRequestHandler):
    folder = "."
    rate = 0
    validators = True
    drop_at = None
    dropped = threading.Event()
    ranges = True
    weak_etag = False
    gzip = False
    redirect_to = None

    def do_GET(self):
        if self.redirect_to:
            self.send_response(302)
            self.send_header("Location", self.redirect_to + self.path)
            self.send_header("Content-Length", "0")
            self.end_headers()
            self.log("302", 0, 0)
            return
        path = os.path.join(self.folder, os.path.basename(self.path.split("?", 1)[0]))
        if os.path.isfile(path + ".answer"):
            with open(path + ".answer", "rb") as canned:
                answer = canned.read()
            self.wfile.write(answer)
            self.close_connection = True
            self.log("answer", 0, len(answer))
            return
        if not os.path.isfile(path):
            self.send_error(404)
            return
        if self.gzip:
            self.send_gzip(path)
            return
        info = os.stat(path)
        size = info.st_size
        etag = ('W/"%x-%x"' if self.weak_etag else '"%x-%x"') % (int(info.st_mtime), size)
        modified = email.utils.formatdate(info.st_mtime, usegmt=True)
        first = 0
        ranged = self.headers.get("Range", "")
        if_range = self.headers.get("If-Range")
        if (self.validators and self.ranges and ranged.startswith("bytes=") and ranged.endswith("-") and
                (if_range is None or if_range in (etag, modified))):
            first = int(ranged[6:-1])
            if first >= size:
                self.send_response(416)
                self.send_header("Content-Range", "bytes */%d" % size)
                self.send_header("Content-Length", "0")
                self.end_headers()
                self.log("416", first, 0)
                return
        self.send_response(206 if first else 200)
        self.send_header("Content-Length", str(size - first))
        if first:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, size - 1, size))
        if self.validators:
            self.send_header("ETag", etag)
            if not self.weak_etag:
                self.send_header("Last-Modified", modified)
            if self.ranges:
                self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        self.send_body(path, first, size)

    def send_gzip(self, path):
        """As a server told to compress everything does: whatever the client asked for."""
        with open(path, "rb") as source:
            body = gzip.compress(source.read(), mtime=0)
        self.send_response(200)
        self.send_header("Content-Encoding", "gzip")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
        self.log("200", 0, len(body))

    def send_body(self, path, first, size):
        sent = 0
        drop = None
        if self.drop_at is not None and not self.dropped.is_set() and size >= 64 * 1024:
            drop = int(size * self.drop_at)
        with open(path, "rb") as source:
            source.seek(first)
            while True:
                chunk = source.read(CHUNK)
                if not chunk:
                    break
                if drop is not None and first + sent + len(chunk) > drop:
                    chunk = chunk[:max(0, drop - first - sent)]
                try:
                    self.wfile.write(chunk)
                    self.wfile.flush()
                except OSError:
                    break
                sent += len(chunk)
                if drop is not None and first + sent >= drop:
                    self.dropped.set()
                    self.close_connection = True
                    break
                if self.rate:
                    time.sleep(len(chunk) / self.rate)
        self.log("206" if first else "200", first, sent)

    def log(self, status, first, sent):
        sys.stderr.write("server: %s %d %d %s\n" % (status, first, sent, self.path))
        sys.stderr.flush()

    def log_message(self, format, *args):
        pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("port_file")
    parser.add_argument("--rate", type=int, default=0, help="bytes per second; 0: no limit")
    parser.add_argument("--drop-at", type=float, help="fraction of a body, such as 0.6, at which the first "
                        "connection to reach it is closed")
    parser.add_argument("--no-validators", action="store_true", help="no ETag, no Last-Modified, no ranges")
    parser.add_argument("--no-ranges", action="store_true", help="validators, but every Range ignored")
    parser.add_argument("--weak-etag", action="store_true", help="a weak ETag and no Last-Modified")
    parser.add_argument("--gzip", action="store_true", help="every body gzip-encoded, asked for or not")
    parser.add_argument("--redirect-to", metavar="BASE", help="every request answered 302 to BASE and its path")
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"), help="serve HTTPS with this certificate")
    parser.add_argument("--port", type=int, default=0, help="the port to take; 0: any free one")
    args = parser.parse_args()
    Handler.folder = args.folder
    Handler.rate = args.rate
    Handler.drop_at = args.drop_at
    Handler.validators = not args.no_validators
    Handler.ranges = not args.no_ranges
    Handler.weak_etag = args.weak_etag
    Handler.gzip = args.gzip
    Handler.redirect_to = args.redirect_to
    with http.server.ThreadingHTTPServer(("127.0.0.1", args.port), Handler) as server:
        if args.tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*args.tls)
            server.socket = context.wrap_socket(server.socket, server_side=True)
        with open(args.port_file + ".new", "w") as f:
            f.write(str(server.server_address[1]))
        os.replace(args.port_file + ".new", args.port_file)
        server.serve_forever()


if __name__ == "__main__":
    main()
