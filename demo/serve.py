#!/usr/bin/env python3
"""Serves a folder on 127.0.0.1 at a limited rate, so that a download can be watched.
Usage: serve.py FOLDER PORT_FILE BYTES_PER_SECOND   (writes the chosen port to PORT_FILE)"""
import functools
import http.server
import sys
import time

CHUNK = 32 * 1024


class SlowHandler(http.server.SimpleHTTPRequestHandler):
    rate = 1 << 20

    def copyfile(self, source, outputfile):
        while True:
            chunk = source.read(CHUNK)
            if not chunk:
                return
            outputfile.write(chunk)
            outputfile.flush()
            time.sleep(len(chunk) / self.rate)

    def log_message(self, format, *args):
        sys.stderr.write("server: " + format % args + "\n")


def main(folder, port_file, rate):
    SlowHandler.rate = int(rate)
    handler = functools.partial(SlowHandler, directory=folder)
    with http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler) as server:
        with open(port_file, "w") as f:
            f.write(str(server.server_address[1]))
        server.serve_forever()


if __name__ == "__main__":
    main(*sys.argv[1:4])
