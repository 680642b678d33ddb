"""A TCP proxy on loopback that delays every chunk by a fixed time, each way.

    python -m bench.delay_proxy TARGET_PORT DELAY_MS

Listens on a free port of 127.0.0.1, prints that port on a line of its own,
and forwards each connection to 127.0.0.1:TARGET_PORT. Every chunk read from
either side is written to the other side DELAY_MS after it arrived, in the
order it arrived; chunks in flight do not wait for each other, so a delay of
1 ms adds 2 ms to each round trip without capping the throughput. Runs until
it is terminated. It runs in its own process so that its work does not share
the measuring process's interpreter lock.
"""

from __future__ import annotations

import asyncio
import collections
import contextlib
import sys

CHUNK = 256 * 1024
# The event loop keeps only weak references to tasks: a connection whose
# sockets are idle would otherwise be collected while it waits.
live: set[asyncio.Task] = set()


async def pump(reader: asyncio.StreamReader, writer: asyncio.StreamWriter, delay: float) -> None:
    """Copies reader to writer, each chunk `delay` seconds after it arrived."""
    loop = asyncio.get_running_loop()
    due: collections.deque[tuple[float, bytes]] = collections.deque()
    arrived = asyncio.Event()

    async def read() -> None:
        try:
            while chunk := await reader.read(CHUNK):
                due.append((loop.time() + delay, chunk))
                arrived.set()
        except OSError:
            pass
        finally:
            due.append((loop.time() + delay, b""))  # the end, after the rest
            arrived.set()

    reading = asyncio.create_task(read())
    try:
        while True:
            while not due:
                arrived.clear()
                await arrived.wait()
            at, chunk = due.popleft()
            wait = at - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not chunk:
                if writer.can_write_eof():
                    writer.write_eof()
                break
            writer.write(chunk)
            await writer.drain()
    except OSError:
        pass  # the other side went away; its own pump ends too
    finally:
        reading.cancel()
        with contextlib.suppress(asyncio.CancelledError):
            await reading


async def serve(target_port: int, delay: float) -> None:
    async def connected(
        client_reader: asyncio.StreamReader, client_writer: asyncio.StreamWriter
    ) -> None:
        task = asyncio.current_task()
        live.add(task)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            live.discard(task)
            return
        try:
            await asyncio.gather(
                pump(client_reader, server_writer, delay),
                pump(server_reader, client_writer, delay),
            )
        finally:
            client_writer.close()
            server_writer.close()
            live.discard(task)

    server = await asyncio.start_server(connected, "127.0.0.1", 0, backlog=1024)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


def main() -> None:
    target_port, delay_ms = int(sys.argv[1]), float(sys.argv[2])
    asyncio.run(serve(target_port, delay_ms / 1000))


if __name__ == "__main__":
    main()
