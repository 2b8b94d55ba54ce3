"""A TCP relay on 127.0.0.1 that makes a local server look far away.

Every block is held DELAY ms before it is passed on, in each direction, and a
new connection waits one round trip (2 * DELAY) before its first bytes move,
as the TCP handshake over such a link would. Blocks keep their order and the
delay does not add up along a stream.

usage: delay_relay.py TARGET_PORT DELAY_MS   (prints its own port on stdout)
"""
import asyncio
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def read_side():
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data))
            if not data:
                return

    async def write_side():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                if writer.can_write_eof():
                    writer.write_eof()
                return
            writer.write(data)
            await writer.drain()

    try:
        await asyncio.gather(read_side(), write_side())
    except (ConnectionError, OSError):
        pass


async def main():
    target = int(sys.argv[1])
    delay = float(sys.argv[2]) / 1000.0

    async def handle(client_r, client_w):
        await asyncio.sleep(2 * delay)  # the handshake's round trip
        try:
            up_r, up_w = await asyncio.open_connection("127.0.0.1", target)
        except OSError:
            client_w.close()
            return
        await asyncio.gather(pump(client_r, up_w, delay), pump(up_r, client_w, delay))
        up_w.close()
        client_w.close()

    server = await asyncio.start_server(handle, "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
