"""Benchmark of the WebSocket applications, one run:

 (a) round trip of a message through the per-connection echo application
     against writing the same stdin line to the same PHP script run directly
     and reading its reply;
 (b) the same round trip against websocketd running a plain PHP echo script
     (one process per connection, one line per message);
 (c) connection set-up to first reply, against websocketd;
 (d) a global application broadcasting to 500 connections (deliveries/s).

    python3 bench/ws-apps/run_bench.py --build BUILD [--rounds N]
"""

import binascii
import json
import os
import selectors
import shutil
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
sys.path.insert(0, os.path.join(ROOT, "tests", "wsapps"))

import vexa_e2e as e2e  # noqa: E402
from wsclient import WsClient, start_message  # noqa: E402


def arg(name, default):
    for i, a in enumerate(sys.argv):
        if a == name and i + 1 < len(sys.argv):
            return sys.argv[i + 1]
    return default


ROUNDS = int(arg("--rounds", "2000"))


def stats(samples):
    s = sorted(samples)
    return statistics.median(s), s[min(len(s) - 1, int(len(s) * 0.99))]


def us(x):
    return f"{x * 1e6:8.1f} us"


def echo_round_trips(client, n, message_of):
    out = []
    for i in range(n):
        m = message_of(i)
        t0 = time.perf_counter()
        client.send(m)
        client.recv(10)
        out.append(time.perf_counter() - t0)
    return out


def vexa_echo(port, n):
    c = WsClient(port)
    c.send(start_message("benchecho", {"text": "warm"}))
    c.recv(10)
    samples = echo_round_trips(c, n, lambda i: json.dumps({"ctrl": "benchecho", "bdata": {"text": f"m{i}"}}))
    c.close()
    return samples


def direct_php(bundle, srv_php, n):
    """The same script, started the way the server starts it, with the same
    stdin lines written straight to it."""
    sample = bundle.sample
    idata = binascii.hexlify(json.dumps({"Server": {"HTTP_HTWS_VEXA": "1"}}).encode()).decode().upper()
    cdata = binascii.hexlify(json.dumps({"postdata": {}, "sargv": {}}).encode()).decode().upper()
    env = dict(os.environ, VEXA_EXECPATH=bundle.root, VEXA_PROJPATH=sample, VEXA_PROJDIR=sample,
               idata=idata, cdata=cdata, bcookies="7B7D")
    proc = subprocess.Popen([srv_php, "-f", os.path.join(sample, "start.php"), "-", "--aroot", bundle.root,
                             "--ctrl", "benchecho", "--evt", "", "--evtp", "", "--droot", sample],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, bufsize=0)
    reader = open(proc.stdout.fileno(), "rb", buffering=65536, closefd=False)
    samples = []
    for i in range(n + 1):
        inner = '{ "ctrl" : "benchecho", "bdata" : { "text" : "m%d", "wcon" : { "conid" : "1", ' \
                '"REMOTE_ADDR" : "127.0.0.1", "REMOTE_PORT" : "" } } }' % i
        line = '{ "id" : "1", "msg" : "", "type" : "c", "cpdata" : "%s" }\r\n' % binascii.hexlify(
            inner.encode()).decode().upper()
        t0 = time.perf_counter()
        proc.stdin.write(line.encode())
        reply = reader.readline()
        dt = time.perf_counter() - t0
        assert reply.startswith(b'{"header'), reply
        if i:
            samples.append(dt)
    proc.stdin.close()
    proc.wait(10)
    reader.close()
    return samples


def direct_first(bundle, php):
    """Start of the same script by hand to its first reply: PHP's own share of (c)."""
    sample = bundle.sample
    idata = binascii.hexlify(json.dumps({"Server": {"HTTP_HTWS_VEXA": "1"}}).encode()).decode().upper()
    cdata = binascii.hexlify(json.dumps({"postdata": {"ctrl": "benchecho", "bdata": {"text": "first"}},
                                         "sargv": {}}).encode()).decode().upper()
    env = dict(os.environ, VEXA_EXECPATH=bundle.root, VEXA_PROJPATH=sample, VEXA_PROJDIR=sample,
               idata=idata, cdata=cdata, bcookies="7B7D")
    t0 = time.perf_counter()
    proc = subprocess.Popen([php, "-f", os.path.join(sample, "start.php"), "-", "--aroot", bundle.root,
                             "--ctrl", "benchecho", "--evt", "", "--evtp", "", "--droot", sample],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
    proc.stdout.readline()
    dt = time.perf_counter() - t0
    proc.stdin.close()
    proc.wait(10)
    return dt


def tcp_floor(n):
    """Round trip of the same client over TCP loopback to a minimal echo
    thread: the share of (a) that no server can avoid."""
    import threading
    lsock = socket.socket()
    lsock.bind(("127.0.0.1", 0))
    lsock.listen(1)

    def serve():
        conn, _ = lsock.accept()
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        while True:
            data = conn.recv(65536)
            if not data:
                break
            conn.sendall(data)
        conn.close()

    t = threading.Thread(target=serve, daemon=True)
    t.start()
    c = socket.create_connection(lsock.getsockname())
    c.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    out = []
    for i in range(n):
        m = b"x" * 60
        t0 = time.perf_counter()
        c.sendall(m)
        got = b""
        while len(got) < len(m):
            got += c.recv(65536)
        out.append(time.perf_counter() - t0)
    c.close()
    t.join(5)
    lsock.close()
    return out


def websocketd_server(php):
    exe = shutil.which("websocketd")
    if not exe:
        return None, None
    port = e2e.free_port()
    proc = subprocess.Popen([exe, f"--port={port}", "--address=127.0.0.1", "--loglevel=fatal",
                             php, "-f", os.path.join(HERE, "plain_echo.php")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    end = time.monotonic() + 10
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            if time.monotonic() > end:
                proc.kill()
                raise
            time.sleep(0.05)


def websocketd_echo(port, n):
    c = WsClient(port)
    c.send("warm")
    c.recv(10)
    samples = echo_round_trips(c, n, lambda i: f"m{i}")
    c.close()
    return samples


def setup_times(connect_and_first, n):
    out = []
    for _ in range(n):
        t0 = time.perf_counter()
        c = connect_and_first()
        out.append(time.perf_counter() - t0)
        c.close()
    return out


def vexa_first(port):
    c = WsClient(port)
    c.send(start_message("benchecho", {"text": "first"}))
    c.recv(10)
    return c


def websocketd_first(port):
    c = WsClient(port)
    c.send("first")
    c.recv(10)
    return c


def broadcast(port, members, rounds):
    clients = [WsClient(port, timeout=30) for _ in range(members)]
    clients[0].send(start_message("benchcast", {}))
    clients[0].recv(10)
    for c in clients[1:]:
        c.send({"ctrl": "benchcast", "bdata": {}})
    time.sleep(1.0)  # every join is in
    sel = selectors.DefaultSelector()
    for c in clients:
        c.sock.setblocking(False)
        sel.register(c.sock, selectors.EVENT_READ, c)
    t0 = time.perf_counter()
    for r in range(rounds):
        clients[0].sock.setblocking(True)
        clients[0].send({"ctrl": "benchcast", "bdata": {"go": r}})
        clients[0].sock.setblocking(False)
        waiting = set(range(members))
        index = {id(c): i for i, c in enumerate(clients)}
        want = b"\x81" + bytes([len(str(r))]) + str(r).encode()
        buffers = {}
        deadline = time.monotonic() + 30
        while waiting:
            if time.monotonic() > deadline:
                raise AssertionError(f"round {r}: {len(waiting)} connections got nothing")
            for key, _ in sel.select(1.0):
                c = key.data
                try:
                    data = c.sock.recv(65536)
                except BlockingIOError:
                    continue
                buf = buffers.get(id(c), b"") + data
                while want in buf:
                    buf = buf.replace(want, b"", 1)
                    waiting.discard(index[id(c)])
                buffers[id(c)] = buf
    elapsed = time.perf_counter() - t0
    for c in clients:
        c.sock.setblocking(True)
        c.close()
    return members * rounds / elapsed, elapsed / rounds


def main():
    build = e2e.build_dir()
    php = shutil.which("php") or "php"
    print(f"rounds per latency measurement: {ROUNDS}")
    with e2e.TestBundle(build) as b:
        for name in ("benchecho.php", "benchcast.php"):
            shutil.copy(os.path.join(HERE, name), os.path.join(b.sample, "pages", name))
        srv = b.start(["--port", str(b.port)])

        vexa = vexa_echo(b.port, ROUNDS)
        direct = direct_php(b, php, ROUNDS)
        mv, pv = stats(vexa)
        md, pd = stats(direct)
        print(f"(a) echo round trip, vexaserver      median {us(mv)}  p99 {us(pv)}")
        print(f"    same script, stdin directly      median {us(md)}  p99 {us(pd)}   ratio {mv / md:.2f}")
        mf, pf = stats(tcp_floor(ROUNDS))
        print(f"    TCP loopback echo, same client   median {us(mf)}  p99 {us(pf)}   "
              f"(direct + TCP: ratio {mv / (md + mf):.2f})")

        wsd, wport = websocketd_server(php)
        if wsd is None:
            print("(b) websocketd not installed: skipped")
        else:
            try:
                ws = websocketd_echo(wport, ROUNDS)
                mw, pw = stats(ws)
                print(f"(b) echo round trip, websocketd      median {us(mw)}  p99 {us(pw)}   "
                      f"ratio vexaserver/websocketd {mv / mw:.2f}")
                sv = setup_times(lambda: vexa_first(b.port), 50)
                sw = setup_times(lambda: websocketd_first(wport), 50)
                (msv, psv), (msw, psw) = stats(sv), stats(sw)
                print(f"(c) set-up to first reply, vexaserver median {us(msv)}  p99 {us(psv)}")
                print(f"    set-up to first reply, websocketd median {us(msw)}  p99 {us(psw)}   "
                      f"ratio {msv / msw:.2f}")
                md1, _ = stats([direct_first(b, php) for _ in range(50)])
                print(f"    the same script started by hand, to its first reply: median {us(md1)}")
            finally:
                os.killpg(wsd.pid, 9)
                wsd.wait()
        time.sleep(1.0)  # the set-up connections' processes are gone
        rate, per_round = broadcast(b.port, 500, 40)
        print(f"(d) global broadcast to 500 connections: {rate:,.0f} deliveries/s "
              f"({per_round * 1e3:.1f} ms per broadcast)")
        srv.stop()


if __name__ == "__main__":
    main()
