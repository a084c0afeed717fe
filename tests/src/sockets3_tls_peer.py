"""TLS servers for the socket-layer tests, on 127.0.0.1 (and ::1).

usage: sockets3_tls_peer.py DIR

DIR holds "good.pem" and "expired.pem" (server certificates) and
"leaf-key.pem" (their key). One listener per kind of server below, each on a
port the system picks; for each it prints "KIND PORT", then "ready", and
serves every connection on its own thread until it is killed or its standard
input is closed. A kind that cannot run here (no IPv6, no TLS 1.1) is left
out.
  echo      TLS 1.2 or later; greets with "sni NAME" (the server name the
            client sent, "-" for none), then echoes every line.
  echo6     as echo, on ::1.
  expired   as echo, with the expired certificate.
  tls11     as echo, but only TLS 1.1 (at security level 0, which allows it).
  partial   after the handshake sends the first half of a record holding
            "hello\\n", the rest once a line comes on stdin (or after 10 s).
  hold      after the handshake neither reads nor answers; prints
            "hold: peer closed" when the client goes within 10 s, else
            "hold: gave up".
  silent    accepts and never answers the handshake; reports as hold.
"""
import os
import select
import socket
import ssl
import sys
import threading
import warnings

warnings.simplefilter("ignore")  # TLS 1.1 is deprecated, and wanted here
LIMIT = 10.0  # seconds any step waits for the client


def make_context(kind, directory):
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    cert = "expired.pem" if kind == "expired" else "good.pem"
    context.load_cert_chain(os.path.join(directory, cert), os.path.join(directory, "leaf-key.pem"))
    if kind == "tls11":
        context.set_ciphers("DEFAULT:@SECLEVEL=0")
        context.minimum_version = ssl.TLSVersion.TLSv1_1
        context.maximum_version = ssl.TLSVersion.TLSv1_1
    context.sni_callback = lambda tls, name, _: setattr(tls, "sni", name)
    return context


def echo(conn, context):
    with context.wrap_socket(conn, server_side=True) as tls:
        name = getattr(tls, "sni", None) or "-"
        tls.sendall(("sni %s\n" % name).encode())
        for line in tls.makefile("rb"):
            tls.sendall(line)


def handshake(conn, context):
    """A server session on memory buffers over conn, its handshake done."""
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    tls = context.wrap_bio(incoming, outgoing, server_side=True)
    while True:
        try:
            tls.do_handshake()
            break
        except ssl.SSLWantReadError:
            conn.sendall(outgoing.read())
            data = conn.recv(65536)
            if not data:
                raise ConnectionError("closed during the handshake")
            incoming.write(data)
    conn.sendall(outgoing.read())
    return tls, outgoing


def wait_gone(conn, kind):
    """Reports whether the client closes within the limit, reading nothing."""
    waiter = select.poll()
    waiter.register(conn, select.POLLRDHUP)  # hang-ups and errors come too
    gone = waiter.poll(LIMIT * 1000)
    print("%s: %s" % (kind, "peer closed" if gone else "gave up"), flush=True)


def partial(conn, context):
    tls, outgoing = handshake(conn, context)
    tls.write(b"hello\n")
    record = outgoing.read()
    conn.sendall(record[: len(record) // 2])
    if select.select([sys.stdin], [], [], LIMIT)[0]:
        sys.stdin.readline()
    conn.sendall(record[len(record) // 2 :])
    wait_gone(conn, "partial")


def serve(conn, kind, context):
    conn.settimeout(LIMIT)
    try:
        if kind == "partial":
            partial(conn, context)
        elif kind == "hold":
            handshake(conn, context)
            wait_gone(conn, kind)
        elif kind == "silent":
            wait_gone(conn, kind)
        else:
            echo(conn, context)
    except OSError:
        pass  # the client went; the test judges by what it saw
    finally:
        conn.close()


def listen(kind, directory):
    """The listener and context of one kind, or None when it cannot run."""
    try:
        context = make_context(kind, directory)
        host = "::1" if kind == "echo6" else "127.0.0.1"
        listener = socket.socket(socket.AF_INET6 if kind == "echo6" else socket.AF_INET)
        listener.bind((host, 0))
        listener.listen(16)
        return listener, context
    except (OSError, ValueError):
        return None


def accept_loop(kind, listener, context):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, kind, context), daemon=True).start()


def main():
    kinds = ("echo", "echo6", "expired", "tls11", "partial", "hold", "silent")
    for kind in kinds:
        made = listen(kind, sys.argv[1])
        if made is None:
            continue
        print(kind, made[0].getsockname()[1], flush=True)
        threading.Thread(target=accept_loop, args=(kind,) + made, daemon=True).start()
    print("ready", flush=True)
    watcher = select.poll()
    watcher.register(sys.stdin, 0)  # a hang-up only: the test has gone
    watcher.poll()


main()
