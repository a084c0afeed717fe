#!/usr/bin/python3
"""A TCP relay on 127.0.0.1 that makes a loopback connection look like a
distant one: every byte is held for half the round-trip time in each
direction, and a new connection moves nothing until one round trip after it
was accepted, as TCP's handshake would cost. Bandwidth is not limited.

Usage: delay_proxy.py LISTEN_PORT TARGET_PORT RTT_MS [MAX_SECONDS]

Runs until it is stopped or MAX_SECONDS (default 7200) have passed. A
connection idle for IDLE_SECONDS in both directions is closed. Each direction
holds at most QUEUE_CHUNKS chunks of CHUNK bytes in flight before it stops
reading, so memory stays bounded whatever the peers do.
"""
import asyncio
import socket
import sys

CHUNK = 65536
QUEUE_CHUNKS = 64
IDLE_SECONDS = 120
CONNECT_SECONDS = 10


async def pump(reader, queue, delay, loop):
    """Reads chunks and queues each with the time it may be delivered."""
    try:
        while True:
            data = await asyncio.wait_for(reader.read(CHUNK), IDLE_SECONDS)
            await queue.put((loop.time() + delay, data))
            if not data:
                return
    except (OSError, asyncio.TimeoutError):
        await queue.put((loop.time(), None))


async def deliver(writer, queue, loop):
    """Writes each queued chunk once its time has come; b"" is the end of
    the stream (passed on as a half-close), None an error (a full close)."""
    while True:
        due, data = await queue.get()
        wait = due - loop.time()
        if wait > 0:
            await asyncio.sleep(wait)
        if not data:
            if data is not None and writer.can_write_eof():
                writer.write_eof()
            return data is not None
        writer.write(data)
        await writer.drain()


async def relay(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(maxsize=QUEUE_CHUNKS)
    reading = asyncio.ensure_future(pump(reader, queue, delay, loop))
    try:
        return await deliver(writer, queue, loop)
    except OSError:
        return False
    finally:
        reading.cancel()


def close(writer):
    try:
        writer.close()
    except OSError:
        pass


async def handle(client_reader, client_writer, target_port, rtt):
    await asyncio.sleep(rtt)  # the handshake: one round trip before any data
    try:
        upstream_reader, upstream_writer = await asyncio.wait_for(
            asyncio.open_connection("127.0.0.1", target_port), CONNECT_SECONDS)
    except (OSError, asyncio.TimeoutError):
        close(client_writer)
        return
    for writer in (client_writer, upstream_writer):
        sock = writer.get_extra_info("socket")
        if sock is not None:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    directions = [relay(client_reader, upstream_writer, rtt / 2),
                  relay(upstream_reader, client_writer, rtt / 2)]
    tasks = [asyncio.ensure_future(d) for d in directions]
    pending = set(tasks)
    while pending:
        done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
        if any(not task.result() for task in done):
            break  # an error in one direction ends both
    for task in pending:
        task.cancel()
    close(upstream_writer)
    close(client_writer)


async def serve(listen_port, target_port, rtt, max_seconds):
    server = await asyncio.start_server(
        lambda r, w: handle(r, w, target_port, rtt), "127.0.0.1", listen_port,
        reuse_address=True, backlog=256)
    async with server:
        await asyncio.sleep(max_seconds)


def main():
    if len(sys.argv) not in (4, 5):
        sys.exit("usage: delay_proxy.py LISTEN_PORT TARGET_PORT RTT_MS [MAX_SECONDS]")
    listen_port, target_port, rtt_ms = (int(value) for value in sys.argv[1:4])
    max_seconds = float(sys.argv[4]) if len(sys.argv) == 5 else 7200.0
    try:
        asyncio.run(serve(listen_port, target_port, rtt_ms / 1000.0, max_seconds))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()
