"""A file server for the transfer tests, over HTTP or HTTPS, on 127.0.0.1.

usage: file_server.py PORT DIR [CERT KEY]

Serves DIR like http.server (HTTP/1.0 with Content-Length), over TLS when a
certificate and key are given (the handshake runs on the connection's thread;
the connection closes without a closing alert, as many servers do). A file
beside a requested file X changes the answer:
  X.fail      holding N: the next N requests get 503
  X.redirect  holding a URL: 302 to it
  X.endless   no length, then bytes until the client goes (at most 60 s)
  X.dribble   X with its length, one byte every 0.2 s
  X.unsized   X without a length
  X.pieces    holding N: the whole response written N bytes at a time
"""
import http.server
import os
import ssl
import sys
import time


class Handler(http.server.SimpleHTTPRequestHandler):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=sys.argv[2], **kwargs)

    def marker(self, suffix):
        path = self.translate_path(self.path) + suffix
        return open(path).read().strip() if os.path.isfile(path) else None

    def do_GET(self):
        name = self.translate_path(self.path)
        body = open(name, "rb").read() if os.path.isfile(name) else b""
        head = b"HTTP/1.0 200 OK\r\n"
        failures = int(self.marker(".fail") or 0)
        if failures > 0:
            open(name + ".fail", "w").write(str(failures - 1))
            return self.send_error(503)
        if self.marker(".redirect") is not None:
            return self.write(b"HTTP/1.0 302 Found\r\nLocation: %s\r\n\r\n"
                              % self.marker(".redirect").encode())
        if self.marker(".endless") is not None:
            deadline = time.monotonic() + 60
            self.write(head + b"\r\n")
            while time.monotonic() < deadline and self.write(b"x" * 65536):
                pass
        elif self.marker(".dribble") is not None:
            self.write(head + b"Content-Length: %d\r\n\r\n" % len(body))
            for i in range(len(body)):
                if not self.write(body[i:i + 1]):
                    return
                time.sleep(0.2)
        elif self.marker(".unsized") is not None:
            self.write(head + b"\r\n" + body)
        elif self.marker(".pieces") is not None:
            data = head + b"Content-Length: %d\r\n\r\n" % len(body) + body
            size = int(self.marker(".pieces"))
            for start in range(0, len(data), size):
                self.write(data[start:start + size])
        else:
            super().do_GET()

    def write(self, data):
        """Sends `data` at once (a record of its own over TLS); False when
        the client has gone."""
        try:
            self.wfile.write(data)
            return True
        except OSError:
            return False

    def log_message(self, *args):
        pass


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    context = None

    def finish_request(self, request, client_address):
        request.settimeout(10)
        try:
            if self.context is not None:
                request = self.context.wrap_socket(request, server_side=True)
            super().finish_request(request, client_address)
        except OSError:
            pass  # a refused certificate, or a client gone
        finally:
            request.close()


server = Server(("127.0.0.1", int(sys.argv[1])), Handler)
if len(sys.argv) > 4:
    server.context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server.context.load_cert_chain(sys.argv[3], sys.argv[4])
server.serve_forever()
