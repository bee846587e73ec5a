#!/usr/bin/python3
"""End to end: the engine hosted in an echo server, driven by an independent
client library (Python websockets) over ws:// and wss:// with
permessage-deflate on: binary and UTF-8 messages, many messages in flight,
parallel plain and TLS clients, and the threads of each connection.
(Message sizes through the real server: ws_server_e2e.py.)
Usage: ws_end_to_end.py <ws_echo_server binary>."""

import asyncio
import os
import ssl
import subprocess
import sys
import time

import websockets

def thread_count(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


def wait_threads(pid, want, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        n = thread_count(pid)
        if n == want:
            return n
        time.sleep(0.05)
    return thread_count(pid)


def text_of(size):
    # Hex of random bytes: plain ASCII that still compresses only so far.
    return os.urandom((size + 1) // 2).hex()[:size]


async def run_connection(url, tls, pid, baseline):
    kwargs = {"max_size": 16 * 1024 * 1024, "compression": "deflate"}
    if tls:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ctx.check_hostname = False
        ctx.verify_mode = ssl.CERT_NONE
        kwargs["ssl"] = ctx
    async with websockets.connect(url, **kwargs) as ws:
        assert ws.response_headers["Sec-WebSocket-Extensions"] == \
            "permessage-deflate; client_max_window_bits=15", ws.response_headers
        assert ws.response_headers["X-Frame-Options"] == "SAMEORIGIN"
        assert [type(e).__name__ for e in ws.extensions] == ["PerMessageDeflate"]
        # A connection holds the connection thread and the reader thread.
        assert wait_threads(pid, baseline + 2) == baseline + 2, thread_count(pid)
        msg = text_of(200000)
        await ws.send(msg)
        assert await asyncio.wait_for(ws.recv(), 30) == msg
        # Binary messages come back as text; UTF-8 text unchanged.
        await ws.send(b"bytes in")
        assert await ws.recv() == "bytes in"
        await ws.send("caf\u00e9 \u6f22\u5b57 \U0001f642")
        assert await ws.recv() == "caf\u00e9 \u6f22\u5b57 \U0001f642"
        # Many small messages in flight at once come back complete and in order.
        batch = [f"m{i}-" + "x" * (i % 300) for i in range(500)]
        for m in batch:
            await ws.send(m)
        for m in batch:
            assert await asyncio.wait_for(ws.recv(), 10) == m
        await ws.close()
        # The engine answered the close with the same status code.
        assert ws.close_code == 1000, ws.close_code
    # Both threads of the connection are gone.
    assert wait_threads(pid, baseline) == baseline, thread_count(pid)


async def main(binary):
    proc = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = proc.stdout.readline().decode()
        assert line.startswith("PORT "), line
        port = int(line.split()[1])
        baseline = thread_count(proc.pid)
        for tls in (False, True):
            scheme = "wss" if tls else "ws"
            await run_connection(f"{scheme}://127.0.0.1:{port}/echo", tls, proc.pid, baseline)
            print(f"{scheme}: ok")
        # Several clients at once, plain and TLS mixed.
        async def one(i):
            tls = i % 2 == 1
            kwargs = {"compression": "deflate"}
            if tls:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                ctx.check_hostname = False
                ctx.verify_mode = ssl.CERT_NONE
                kwargs["ssl"] = ctx
            url = f"{'wss' if tls else 'ws'}://127.0.0.1:{port}/"
            async with websockets.connect(url, **kwargs) as ws:
                for j in range(50):
                    m = f"client {i} message {j} " + "y" * (j * 37)
                    await ws.send(m)
                    assert await asyncio.wait_for(ws.recv(), 10) == m
        await asyncio.gather(*(one(i) for i in range(16)))
        assert wait_threads(proc.pid, baseline) == baseline, thread_count(proc.pid)
        print("parallel clients: ok")
    finally:
        proc.stdin.close()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    assert proc.returncode == 0, proc.returncode


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1]))
