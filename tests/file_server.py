"""A file server for the transfer tests, over HTTP or HTTPS, on 127.0.0.1.

usage: file_server.py PORT DIR [CERT KEY]

Serves DIR like Python's http.server (HTTP/1.0, with Content-Length), over
TLS when a certificate and its key are given (the handshake runs on the
connection's own thread, so a client that stalls it holds up no other).
Files beside a requested file X change how X is answered:
  X.fail      holding a number N: the next N requests get 503
  X.redirect  holding a URL: 302 to that URL
  X.endless   200 without a length, then bytes until the client goes
              (at most 1 GiB or 60 s)
  X.dribble   X with its length, one byte every 0.2 s (at most 60 s)
  X.unsized   X without a length: its end is the connection's
  X.pieces    holding a number N: the whole response (a status line, its
              length, X) written N bytes at a time, each piece its own TLS
              record
Every connection gives up after 10 s without progress.
"""
import http.server
import os
import ssl
import sys
import time

LIMIT = 10.0
directory = sys.argv[2]


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=directory, **kwargs)

    def marker(self, suffix):
        path = self.translate_path(self.path) + suffix
        if not os.path.isfile(path):
            return None
        with open(path) as marker:
            return marker.read().strip()

    def do_GET(self):
        failures = self.marker(".fail")
        if failures and int(failures) > 0:
            with open(self.translate_path(self.path) + ".fail", "w") as marker:
                marker.write(str(int(failures) - 1))
            self.send_error(503)
        elif self.marker(".redirect") is not None:
            self.send_response(302)
            self.send_header("Location", self.marker(".redirect"))
            self.end_headers()
        elif self.marker(".endless") is not None:
            self.send_response(200)
            self.end_headers()
            self.trickle(b"x" * 65536, 0, 1 << 30)
        elif self.marker(".unsized") is not None:
            self.send_response(200)
            self.end_headers()
            self.wfile.write(self.content())
        elif self.marker(".pieces") is not None:
            body = self.content()
            data = b"HTTP/1.0 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body) + body
            size = int(self.marker(".pieces"))
            for start in range(0, len(data), size):
                self.wfile.write(data[start:start + size])
        elif self.marker(".dribble") is not None:
            body = self.content()
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.trickle(body, 0.2, len(body))
        else:
            super().do_GET()

    def content(self):
        with open(self.translate_path(self.path), "rb") as source:
            return source.read()

    def trickle(self, chunk, pause, total):
        """Sends `total` bytes of `chunk` repeated, one byte per `pause`
        when pausing, until the client goes or 60 s pass."""
        deadline = time.monotonic() + 60
        sent = 0
        while sent < total and time.monotonic() < deadline:
            piece = chunk[sent % len(chunk):][:1] if pause else chunk
            try:
                self.wfile.write(piece)
                self.wfile.flush()
            except OSError:
                return
            sent += len(piece)
            time.sleep(pause)

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def finish_request(self, request, client_address):
        request.settimeout(LIMIT)
        if self.context is not None:
            try:
                request = self.context.wrap_socket(request, server_side=True)
            except OSError:
                return  # the client refused the certificate, or went
        try:
            super().finish_request(request, client_address)
        finally:
            request.close()  # without a closing alert, as many servers do


def main():
    server = Server(("127.0.0.1", int(sys.argv[1])), Handler)
    if len(sys.argv) > 4:
        server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.context.load_cert_chain(sys.argv[3], sys.argv[4])
    server.serve_forever()


main()
