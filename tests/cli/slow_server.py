"""A slow file server for the end-to-end tests, on 127.0.0.1.

usage: slow_server.py PORT DIR

Python's http.server over DIR, ignoring ranges, that sends every pack
(a file ending in .pak) in three pieces: half at once, a quarter after
0.3 s, the rest after 0.1 s more; errors come after 0.15 s. Several
transfers at once are thus half way when one of them fails.
"""
import functools
import http.server
import sys
import time


class Slow(http.server.SimpleHTTPRequestHandler):
    def copyfile(self, source, out):
        data = source.read()
        if not self.path.endswith(".pak"):
            return out.write(data)
        cuts = [0, len(data) // 2, len(data) * 3 // 4, len(data)]
        for i in range(3):
            time.sleep([0, 0.3, 0.1][i])
            out.write(data[cuts[i]:cuts[i + 1]])
            out.flush()

    def send_error(self, *args, **kwargs):
        time.sleep(0.15)
        super().send_error(*args, **kwargs)

    def log_message(self, *args):
        pass


handler = functools.partial(Slow, directory=sys.argv[2])
http.server.ThreadingHTTPServer(("127.0.0.1", int(sys.argv[1])), handler).serve_forever()
