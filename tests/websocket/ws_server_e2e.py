#!/usr/bin/python3
"""End to end through the real vexaserver: an independent client library
(Python websockets) with permessage-deflate on, over ws:// and wss:// on the
server's one port, talking to the sample project's "wsecho" application.
Usage: ws_server_e2e.py --build <build folder>."""

import asyncio
import base64
import http.client
import json
import os
import pathlib
import select
import shutil
import socket
import ssl
import struct
import sys
import threading
import time
import zlib

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


def reset_peak(pid):
    """Starts VmHWM afresh from the present resident size."""
    with open(f"/proc/{pid}/clear_refs", "w") as f:
        f.write("5")


def send_at_once(socks, wire):
    """Sends `wire` on every socket at the same time; returns once all is sent."""
    threads = [threading.Thread(target=s.sendall, args=(wire,)) for s in socks]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def raw_connect(port):
    """A WebSocket connection on a plain socket, permessage-deflate agreed."""
    s = socket.create_connection(("127.0.0.1", port), timeout=30)
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall((f"GET / HTTP/1.1\r\nHost: 127.0.0.1:{port}\r\nUpgrade: websocket\r\n"
               f"Connection: Upgrade\r\nSec-WebSocket-Key: {key}\r\nSec-WebSocket-Version: 13\r\n"
               "Sec-WebSocket-Extensions: permessage-deflate\r\n\r\n").encode())
    reply = b""
    while b"\r\n\r\n" not in reply:
        chunk = s.recv(4096)
        assert chunk, reply
        reply += chunk
    assert reply.startswith(b"HTTP/1.1 101 "), reply
    assert reply.endswith(b"\r\n\r\n"), reply  # nothing sent after it yet
    return s


def frame_header(length, rsv1=False, key=b"\x11\x22\x33\x44"):
    """A masked, final text frame's header announcing `length` bytes."""
    head = bytes([0x81 | (0x40 if rsv1 else 0)])
    if length < 126:
        head += bytes([0x80 | length])
    elif length < 65536:
        head += bytes([0x80 | 126]) + struct.pack(">H", length)
    else:
        head += bytes([0x80 | 127]) + struct.pack(">Q", length)
    return head + key


def masked(payload, key=b"\x11\x22\x33\x44"):
    n = len(payload)
    k = (key * (n // 4 + 1))[:n]
    return (int.from_bytes(payload, "little") ^ int.from_bytes(k, "little")).to_bytes(n, "little")


def read_close_code(s, deadline):
    """The status code of the close frame the server sends by `deadline`
    (a time.monotonic() value), or None."""
    data = b""
    try:
        while len(data) < 4:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = s.recv(4096)
            if not chunk:
                break
            data += chunk
    except OSError:
        pass
    if len(data) >= 4 and data[0] == 0x88:
        return struct.unpack(">H", data[2:4])[0]
    return None


MIB = 1024 * 1024


def deflate_bombs(srv, port, pid, count=8, size=32 * MIB - 1024):
    """`count` connections at once, each sending a deflate message of about
    32 KB that inflates to about 32 MiB: the server's peak memory stays within
    1.5 times what the inflated messages hold together (the engine keeps one
    copy each; a copy handed on at every step would take it past 7 times),
    and it goes on serving."""
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    bomb = z.compress(b"a" * size) + z.flush(zlib.Z_SYNC_FLUSH)
    assert bomb.endswith(b"\0\0\xff\xff") and len(bomb) < 40000, len(bomb)
    bomb = bomb[:-4]
    wire = frame_header(len(bomb), rsv1=True) + masked(bomb)
    reset_peak(pid)
    before = e2e.memory_mib(pid, "VmRSS")
    socks = [raw_connect(port) for _ in range(count)]
    send_at_once(socks, wire)
    # Each message reaches the application layer, which refuses it as
    # invalid JSON with a console line: wait until all are through.
    marker = "Error:- Invalid JSON"
    deadline = time.monotonic() + 30 * e2e.SLOW
    while time.monotonic() < deadline and srv.output().count(marker) < count:
        time.sleep(0.1)
    assert srv.output().count(marker) == count, srv.output()[-2000:]
    peak = e2e.memory_mib(pid, "VmHWM")
    bound = before + 1.5 * count * size / MIB
    assert peak < bound, (peak, bound)
    for s in socks:
        s.close()
    print(f"deflate bombs: peak {peak:.0f} MiB, bound {bound:.0f} MiB")


def read_message(s, inflater, deadline):
    """The text of the next message the server sends (unmasked frames,
    permessage-deflate with the connection's `inflater`)."""
    data = b""
    parts, compressed = [], False

    def take(n):
        nonlocal data
        while len(data) < n:
            s.settimeout(max(0.01, deadline - time.monotonic()))
            chunk = s.recv(1 << 20)
            assert chunk, "connection closed"
            data += chunk
        out, data = data[:n], data[n:]
        return out

    while True:
        b0, b1 = take(2)
        length = b1 & 0x7F
        if length == 126:
            length = struct.unpack(">H", take(2))[0]
        elif length == 127:
            length = struct.unpack(">Q", take(8))[0]
        payload = take(length)
        if b0 & 0x0F in (1, 2):
            compressed = bool(b0 & 0x40)
        if b0 & 0x0F in (0, 1, 2):
            parts.append(payload)
            if b0 & 0x80:
                break
    body = b"".join(parts)
    if compressed:
        body = inflater.decompress(body + b"\0\0\xff\xff")
    return body.decode()


def json_deflate_bombs(srv, port, pid, count=8, size=32 * MIB - 1024):
    """`count` connections each start the "wsprobe" application with a small
    message, then all at once send it a deflate message of about 32 KB that
    inflates to a valid JSON message of about 32 MiB (one long string in
    "bdata"). Each is delivered whole to its application, and the server's
    peak memory stays within 4 times what the inflated messages hold
    together: the engine's text is freed once parsed, the parsed document
    once written, so at most about three forms live at once (the written
    text and its hex-coded line), plus room for the allocator (about 2.8
    times measured; every step's copy kept alive would take it past 10
    times, the engine's text kept to about 4.1 times)."""
    members = {"ctrl": "wsprobe", "token": "t", "typeappobj": "o", "evt": "e", "evtp": "p"}
    start = json.dumps(dict(members, bdata={"brief": 1})).encode()
    head = json.dumps(dict(members, bdata={"brief": 1, "x": ""}))[:-3].encode()
    z = zlib.compressobj(9, zlib.DEFLATED, -15)
    bomb = z.compress(head) + z.compress(b"a" * size) + z.compress(b'"}}') + z.flush(zlib.Z_SYNC_FLUSH)
    assert bomb.endswith(b"\0\0\xff\xff") and len(bomb) < 40000, len(bomb)
    bomb = bomb[:-4]
    wire = frame_header(len(bomb), rsv1=True) + masked(bomb)
    socks = [raw_connect(port) for _ in range(count)]
    inflaters = [zlib.decompressobj(-15) for _ in socks]
    deadline = time.monotonic() + 60 * e2e.SLOW
    for s, inflater in zip(socks, inflaters):
        s.sendall(frame_header(len(start)) + masked(start))
        assert '"bytes"' in read_message(s, inflater, deadline)
    reset_peak(pid)
    before = e2e.memory_mib(pid, "VmRSS")
    send_at_once(socks, wire)
    # Each application answers with the length of the line it read: the
    # whole message, hex-coded (two digits a byte) in its envelope.
    deadline = time.monotonic() + 120 * e2e.SLOW
    for s, inflater in zip(socks, inflaters):
        reply = read_message(s, inflater, deadline)
        assert reply.endswith(","), reply[:300]
        assert json.loads(reply[:-1])["response"]["data"]["bytes"] > 2 * size, reply[:300]
    peak = e2e.memory_mib(pid, "VmHWM")
    bound = before + 4 * count * size / MIB
    for s in socks:
        s.close()
    print(f"JSON deflate bombs: peak {peak:.0f} MiB over {before:.0f} MiB, bound {bound:.0f} MiB")
    assert peak < bound, (peak, bound)


def unread_bytes(port):
    """How many of the server's connections on `port` there are, and how
    many bytes that arrived on them the server has not read yet (the
    receive queues in /proc/net/tcp and tcp6)."""
    count, queued = 0, 0
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(table) as f:
                rows = f.read().splitlines()[1:]
        except OSError:
            continue
        for row in rows:
            cols = row.split()
            if int(cols[1].rsplit(":", 1)[1], 16) == port and cols[3] == "01":  # established
                count += 1
                queued += int(cols[4].split(":")[1], 16)
    return count, queued


def echo_once(port, text, deadline):
    """One message to the "wsecho" application on a fresh connection; True
    when its echo comes back whole."""
    s = raw_connect(port)
    try:
        wire = message(text).encode()
        s.sendall(frame_header(len(wire)) + masked(wire))
        return echo_of(read_message(s, zlib.decompressobj(-15), deadline)) == text
    finally:
        s.close()


def bare_headers(port, pid, count=300):
    """`count` connections each send only a frame header announcing 32 MiB
    (14 bytes) and nothing after it: the server's resident memory grows by
    little (memory follows the bytes that arrived, not what a header
    announces; room made ahead for the announced length would take over
    1 MiB a header), and a POST of 40 MiB and a WebSocket message beside
    them are served."""
    header = frame_header(32 * MIB)
    assert len(header) == 14
    before = e2e.memory_mib(pid, "VmRSS")
    socks = [raw_connect(port) for _ in range(count)]
    connected = e2e.memory_mib(pid, "VmRSS")
    for s in socks:
        s.sendall(header)
    # The server has taken every header once nothing waits unread.
    deadline = time.monotonic() + 30 * e2e.SLOW
    while time.monotonic() < deadline:
        conns, queued = unread_bytes(port)
        if conns >= count and queued == 0:
            break
        time.sleep(0.05)
    assert conns >= count and queued == 0, (conns, queued)
    # The last readers may still be making room: until the figure settles.
    after = e2e.memory_mib(pid, "VmRSS")
    for _ in range(50):
        time.sleep(0.1)
        now = e2e.memory_mib(pid, "VmRSS")
        if now == after:
            break
        after = now
    print(f"bare frame headers: {count} connections took {connected - before:.1f} MiB, "
          f"their headers {after - connected:.1f} MiB more "
          f"({(after - connected) * 1024 / count:.0f} KiB a header)")
    assert after - before < 100, (before, connected, after)
    # Served beside them.
    body = b"p" * (40 * MIB)
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60 * e2e.SLOW)
    conn.request("POST", "/style.css", body=body)
    reply = conn.getresponse()
    reply.read()
    conn.close()
    assert reply.status == 200, reply.status
    assert echo_once(port, "beside bare headers", time.monotonic() + 30 * e2e.SLOW)
    for s in socks:
        s.close()


def trickled_messages(port, pid, count=8):
    """`count` connections each send 31 MiB of a 32 MiB frame at once and
    then a byte every 12 s, each read well within the per-read limit (30 s):
    the progress rule (64 KiB or the rest in every 10 s span) closes each with
    1008 within about a minute, and the server holds about one copy of what
    arrived meanwhile. Beside them an honest client sends a 4 MiB message at
    128 KiB/s (32 s, longer than the per-read limit) and gets its echo."""
    sent = 31 * MIB
    wire = frame_header(32 * MIB) + masked(b"h" * sent)
    reset_peak(pid)
    before = e2e.memory_mib(pid, "VmRSS")
    socks = [raw_connect(port) for _ in range(count)]
    honest = {}

    def paced():
        text = "honest " * (4 * MIB // 7)
        wire = message(text).encode()
        wire = frame_header(len(wire)) + masked(wire)
        s = raw_connect(port)
        try:
            # The application starts with a small first message.
            s.sendall(frame_header(len(message("first"))) + masked(message("first").encode()))
            assert echo_of(read_message(s, zlib.decompressobj(-15), time.monotonic() + 30 * e2e.SLOW)) == "first"
            step = 16 * 1024
            t0 = time.monotonic()
            for i, at in enumerate(range(0, len(wire), step)):
                # 128 KiB/s: 16 KiB every 125 ms, kept to its schedule.
                time.sleep(max(0.0, t0 + i * 0.125 - time.monotonic()))
                s.sendall(wire[at:at + step])
            honest["took"] = time.monotonic() - t0
            reply = read_message(s, zlib.decompressobj(-15), time.monotonic() + 60 * e2e.SLOW)
            honest["ok"] = echo_of(reply) == text
        finally:
            s.close()

    honest_thread = threading.Thread(target=paced)
    honest_thread.start()
    send_at_once(socks, wire)
    started = time.monotonic()
    deadline = started + 60 * e2e.SLOW
    codes = {}
    closed_at = {}
    next_byte = started + 12
    while len(codes) < count and time.monotonic() < deadline:
        open_socks = [s for s in socks if s not in codes]
        ready, _, _ = select.select(open_socks, [], [], max(0.0, min(next_byte, deadline) - time.monotonic()))
        for s in ready:
            codes[s] = read_close_code(s, time.monotonic() + 5)
            closed_at[s] = time.monotonic() - started
        if time.monotonic() >= next_byte:
            for s in open_socks:
                if s not in codes:
                    try:
                        s.send(b"h")
                    except OSError:
                        pass
            next_byte += 12
    peak = e2e.memory_mib(pid, "VmHWM")
    honest_thread.join()
    for s in socks:
        s.close()
    print(f"trickled messages: closed after {sorted(round(t) for t in closed_at.values())} s, "
          f"peak {peak:.0f} MiB over {before:.0f} MiB; honest 4 MiB message sent in "
          f"{honest.get('took', -1):.0f} s")
    assert [codes.get(s) for s in socks] == [1008] * count, [codes.get(s) for s in socks]
    bound = before + 1.25 * count * sent / MIB
    assert peak < bound, (peak, bound)
    assert honest.get("ok"), honest


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

    # What a client can make the server hold, on a server of its own (its
    # peak memory is measured).
    with e2e.TestBundle(e2e.build_dir(), settings={"secure": 0}) as b:
        shutil.copy(pathlib.Path(__file__).resolve().parents[1] / "wsapps" / "fixtures" / "wsprobe.php",
                    pathlib.Path(b.sample) / "pages" / "wsprobe.php")
        srv = b.start(["--port", str(b.port)])
        time.sleep(0.3)
        if not sanitized(e2e.build_dir()):  # sanitizers hold freed memory back
            deflate_bombs(srv, b.port, srv.pid)
            json_deflate_bombs(srv, b.port, srv.pid)
            # The server goes on serving messages as before.
            await one_connection(b.port, False, srv.pid, thread_count(srv.pid))
            bare_headers(b.port, srv.pid)
            trickled_messages(b.port, srv.pid)
        await one_connection(b.port, True, srv.pid, thread_count(srv.pid))
        code, out = srv.stop()
        assert out.count("WebSocket error: WebSocket message too slow: less than 64 KiB in 10 s") == \
            (0 if sanitized(e2e.build_dir()) else 8), out


if __name__ == "__main__":
    asyncio.run(main())
