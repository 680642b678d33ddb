"""A TCP proxy on 127.0.0.1 that writes every chunk `delay_ms` after it read
it, each way and in order, without holding back the chunks behind it: 1 ms
adds 2 ms to each round trip without capping the throughput. It runs in a
process of its own, so its work does not share the measuring process's GIL."""

from __future__ import annotations

import asyncio
import collections
import contextlib
import multiprocessing

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


async def serve(target_port: int, delay: float, ports) -> None:
    async def connected(client_reader, client_writer) -> None:
        live.add(task := asyncio.current_task())
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
            try:
                await asyncio.gather(pump(client_reader, server_writer, delay),
                                     pump(server_reader, client_writer, delay))  # fmt: skip
            finally:
                server_writer.close()
        except OSError:
            pass  # the server refused it: the client's connection is closed
        finally:
            client_writer.close()
            live.discard(task)

    server = await asyncio.start_server(connected, "127.0.0.1", 0, backlog=1024)
    ports.put(server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


def serve_forever(target_port: int, delay_ms: float, ports) -> None:
    asyncio.run(serve(target_port, delay_ms / 1000, ports))


@contextlib.contextmanager
def running(target_port: int, delay_ms: float):
    """The proxy in a process of its own (spawned: this one has threads)."""
    context = multiprocessing.get_context("spawn")
    ports = context.Queue()
    process = context.Process(target=serve_forever, args=(target_port, delay_ms, ports))
    process.start()
    try:
        yield process, ports.get(timeout=60)  # its port, once it listens
    finally:
        process.terminate()
        process.join()
