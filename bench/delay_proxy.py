#!/usr/bin/python3
"""delay_proxy: a TCP relay that adds a fixed delay each way, for timing
LDAP clients as if the domain controller were a network away.

    delay_proxy.py [--delay-ms MS] [--max-seconds S] LISTEN_IP:PORT TARGET_IP:PORT

Every connection accepted on LISTEN is relayed to TARGET. Every chunk read
from either side is written to the other MS milliseconds (default 10) after
it was read, in the order read; chunks that follow each other closely are
in flight together, so the delay adds latency, not a bandwidth limit (a
round trip costs 2 * MS). A side's end of stream is passed on, after the
same delay, as a half close; a connection ends when both directions have
ended or either side fails.

Both addresses must be loopback addresses. Once listening, prints
"delay_proxy: listening on IP:PORT" and flushes stdout. Exits (status 0) on
SIGTERM or SIGINT, when its parent process ends, or after --max-seconds
(default 3600); open connections are dropped. Status 1 when it cannot
listen.

For GSSAPI through it: listen on the directory server's own address at
another port (ldap://<dc ip>:3389). With SASL_NOCANON on, libldap asks for
the service ticket ldap/<dc ip> whatever the port, so the bind works.
"""

import argparse
import asyncio
import ipaddress
import os
import signal
import sys
import time

CHUNK = 65536


def address(text):
    host, sep, port = text.rpartition(":")
    if not sep or not port.isdigit() or not 0 < int(port) < 65536:
        raise argparse.ArgumentTypeError("not IP:PORT: %s" % text)
    host = host.strip("[]")
    try:
        ip = ipaddress.ip_address(host)
    except ValueError:
        raise argparse.ArgumentTypeError("not an IP address: %s" % host)
    if not ip.is_loopback:
        raise argparse.ArgumentTypeError("not a loopback address: %s" % host)
    return str(ip), int(port)


async def pump(reader, writer, delay):
    """Relays reader to writer, each chunk `delay` seconds after its read."""
    queue = asyncio.Queue()
    loop = asyncio.get_running_loop()

    async def read_side():
        try:
            while True:
                data = await reader.read(CHUNK)
                queue.put_nowait((loop.time() + delay, data))
                if not data:
                    return
        except (ConnectionError, OSError):
            queue.put_nowait((loop.time(), None))

    async def write_side():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                raise ConnectionError("read side failed")
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                await writer.drain()
                return
            writer.write(data)
            await writer.drain()

    reading = asyncio.create_task(read_side())
    try:
        await write_side()
    finally:
        reading.cancel()


async def relay(client_reader, client_writer, target, delay):
    try:
        server_reader, server_writer = await asyncio.open_connection(*target)
    except OSError as e:
        print("delay_proxy: cannot reach %s:%d: %s" % (target[0], target[1], e), flush=True)
        client_writer.close()
        return
    up = asyncio.create_task(pump(client_reader, server_writer, delay))
    down = asyncio.create_task(pump(server_reader, client_writer, delay))
    pending = {up, down}
    try:
        while pending:
            done, pending = await asyncio.wait(pending, return_when=asyncio.FIRST_COMPLETED)
            if any(t.cancelled() or t.exception() is not None for t in done):
                break
    finally:
        for t in (up, down):
            t.cancel()
        for w in (client_writer, server_writer):
            w.close()


async def main():
    parser = argparse.ArgumentParser(description="TCP relay with a fixed delay each way (loopback only)")
    parser.add_argument("--delay-ms", type=float, default=10.0, help="delay each way, ms (default 10)")
    parser.add_argument("--max-seconds", type=float, default=3600.0, help="run at most this long (default 3600)")
    parser.add_argument("listen", type=address, help="IP:PORT to listen on")
    parser.add_argument("target", type=address, help="IP:PORT to relay to")
    args = parser.parse_args()
    if not 0 <= args.delay_ms <= 10000 or args.max_seconds <= 0:
        parser.error("--delay-ms from 0 to 10000, --max-seconds above 0")

    delay = args.delay_ms / 1000.0
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    parent = os.getppid()

    connections = set()

    async def accept(reader, writer):
        task = asyncio.current_task()
        connections.add(task)
        try:
            await relay(reader, writer, args.target, delay)
        finally:
            connections.discard(task)

    try:
        server = await asyncio.start_server(accept, *args.listen, reuse_address=True)
    except OSError as e:
        print("delay_proxy: cannot listen on %s:%d: %s" % (args.listen[0], args.listen[1], e.strerror), flush=True)
        return 1
    print("delay_proxy: listening on %s:%d (%.1f ms each way, to %s:%d)"
          % (args.listen[0], args.listen[1], args.delay_ms, args.target[0], args.target[1]), flush=True)

    deadline = time.monotonic() + args.max_seconds
    while not stop.is_set() and time.monotonic() < deadline and os.getppid() == parent:
        try:
            await asyncio.wait_for(stop.wait(), timeout=0.5)
        except asyncio.TimeoutError:
            pass
    server.close()
    for task in list(connections):
        task.cancel()
    await asyncio.gather(*connections, return_exceptions=True)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(asyncio.run(main()))
    except KeyboardInterrupt:
        sys.exit(0)
