"""TLS servers for the socket-layer tests, on 127.0.0.1 (and ::1).

usage: sockets3_tls_peer.py PORT DIR

DIR holds "good.pem" (the server certificate) and "leaf-key.pem" (its key).
Listens on PORT of ::1 when it can, then of 127.0.0.1. Every connection is
served on its own thread; its first line, sent before any TLS, names the kind
of server it gets:
  echo      TLS 1.2 or later; greets with "sni NAME" (the server name the
            client sent, "-" for none), then echoes every line.
  tls11     as echo, but only TLS 1.1 (at security level 0, which allows it).
  partial   after the handshake sends the first half of a record holding
            "hello\\n", the rest once a raw byte comes (or after 10 s).
  hold      after the handshake neither reads nor answers; prints
            "hold: peer closed" when the client goes within 10 s, else
            "hold: gave up".
  lines     after the handshake sends "one\\ntwo\\n" in one record;
  close     a closing alert;
  garbage   "garbage\\r\\n", raw;
  cut       the header of an application-data record and part of it, raw;
            then each but lines stops writing; each closes once the client
            writes or goes.
Runs until it is killed.
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
    context.load_cert_chain(os.path.join(directory, "good.pem"),
                            os.path.join(directory, "leaf-key.pem"))
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


def partial(conn, context):
    tls, outgoing = handshake(conn, context)
    tls.write(b"hello\n")
    record = outgoing.read()
    conn.sendall(record[: len(record) // 2])
    conn.recv(1)
    conn.sendall(record[len(record) // 2 :])
    conn.recv(1)


def hold(conn, context):
    """Reports whether the client closes within the limit, reading nothing."""
    handshake(conn, context)
    waiter = select.poll()
    waiter.register(conn, select.POLLRDHUP)  # hang-ups and errors come too
    gone = waiter.poll(LIMIT * 1000)
    print("hold: %s" % ("peer closed" if gone else "gave up"), flush=True)


RAW = {"garbage": b"garbage\r\n", "cut": b"\x17\x03\x03\x00@half"}


def scripted(conn, context, kind):
    tls, outgoing = handshake(conn, context)
    if kind == "lines":
        tls.write(b"one\ntwo\n")
    elif kind == "close":
        try:
            tls.unwrap()
        except ssl.SSLWantReadError:
            pass
    conn.sendall(outgoing.read() + RAW.get(kind, b""))
    if kind != "lines":
        conn.shutdown(socket.SHUT_WR)
    conn.recv(1)


def serve(conn, directory):
    conn.settimeout(LIMIT)
    try:
        kind = b""
        while not kind.endswith(b"\n") and len(kind) < 16:
            kind += conn.recv(1) or b"\n"
        kind = kind.strip().decode()
        context = make_context(kind, directory)
        if kind in ("lines", "close", "garbage", "cut"):
            scripted(conn, context, kind)
        else:
            {"partial": partial, "hold": hold}.get(kind, echo)(conn, context)
    except (OSError, ValueError):
        pass  # the client went; the test judges by what it saw
    finally:
        conn.close()


def accept_loop(listener, directory):
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=serve, args=(conn, directory), daemon=True).start()


def main():
    port, directory = int(sys.argv[1]), sys.argv[2]
    threads = []
    for family, host in ((socket.AF_INET6, "::1"), (socket.AF_INET, "127.0.0.1")):
        try:
            listener = socket.socket(family)
            listener.bind((host, port))
            listener.listen(16)
        except OSError:
            continue  # no IPv6 here
        threads.append(threading.Thread(target=accept_loop, args=(listener, directory)))
        threads[-1].start()
    for thread in threads:
        thread.join()


main()
