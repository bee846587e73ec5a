#!/usr/bin/python3
"""End to end through the real vexaserver: an independent client library
(Python websockets) with permessage-deflate on, over ws:// and wss:// on the
server's one port, talking to the sample project's "wsecho" application.
Usage: ws_server_e2e.py --build <build folder>."""

import asyncio
import json
import pathlib
import ssl
import sys
import time

import websockets

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
import vexa_e2e as e2e  # noqa: E402

# The first message of an application travels in the PHP process's start data
# (its environment), so it stays small; these go through its stdin.
SIZES = [0, 125, 126, 65535, 65536, 10 * 1024 * 1024]


def sanitized(build):
    """Sanitizer builds run the server many times slower: the largest message
    shrinks to 2 MiB there (still the 64-bit length form)."""
    try:
        cache = (pathlib.Path(build) / "CMakeCache.txt").read_text()
    except OSError:
        return False
    return "VEXA_TSAN:BOOL=ON" in cache or "VEXA_ASAN:BOOL=ON" in cache


def thread_count(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


def wait_threads(pid, want, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if thread_count(pid) <= want:
            return True
        time.sleep(0.1)
    return False


def message(text):
    return json.dumps({"ctrl": "wsecho", "bdata": {"text": text}, "token": "t",
                       "typeappobj": "o", "evt": "e", "evtp": "p"})


def echo_of(reply):
    assert reply.endswith(","), reply[:200]
    item = json.loads(reply[:-1])
    return item["response"]["data"]["echo"]


async def one_connection(port, tls, pid, baseline):
    kwargs = {"max_size": 32 * 1024 * 1024, "compression": "deflate"}
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        kwargs["ssl"] = ctx
    url = f"{'wss' if tls else 'ws'}://127.0.0.1:{port}/"
    async with websockets.connect(url, **kwargs) as ws:
        assert ws.response_headers["Sec-WebSocket-Extensions"] == \
            "permessage-deflate; client_max_window_bits=15"
        assert ws.response_headers["X-Xss-Protection"] == "1; mode=block"
        assert [type(e).__name__ for e in ws.extensions] == ["PerMessageDeflate"]
        await ws.send(message("first"))
        assert echo_of(await asyncio.wait_for(ws.recv(), 30)) == "first"
        for size in SIZES:
            text = ("abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size]
            await ws.send(message(text))
            assert echo_of(await asyncio.wait_for(ws.recv(), 60)) == text, size
        # A ping is answered with its payload.
        pong = await ws.ping(b"are you there")
        await asyncio.wait_for(pong, 10)
        await ws.close()
        assert ws.close_code == 1000, ws.close_code
    # The connection's threads and its application's threads end.
    assert wait_threads(pid, baseline), (thread_count(pid), baseline)


async def main():
    if sanitized(e2e.build_dir()):
        SIZES[-1] = 2 * 1024 * 1024
    with e2e.TestBundle(e2e.build_dir(), settings={"secure": 0}) as b:
        srv = b.start(["--port", str(b.port)])
        time.sleep(0.3)
        baseline = thread_count(srv.pid)
        for tls in (False, True):
            await one_connection(b.port, tls, srv.pid, baseline)
            print(f"{'wss' if tls else 'ws'}: ok")
        code, out = srv.stop()
        assert "WebSocket error" not in out, out
        assert "Received Ping, sending Pong" in out, out


if __name__ == "__main__":
    asyncio.run(main())
