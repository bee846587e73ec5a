"""Load, fault and hostile-input tests of the real server (loopback only).

    python3 load_e2e.py --build BUILD --group connections|faults|badinput

connections: about a thousand simultaneous connections of mixed kinds; the
    server answers a probe page meanwhile, refuses connections above its
    limit, and afterwards returns to its starting threads and descriptors
    with no PHP process left.
faults: PHP applications that crash mid-reply, never end, flood standard
    output or standard error; a client that leaves mid-reply; SIGINT in the
    middle of it all; SIGKILL of the server itself.
badinput: malformed HTTP and WebSocket input gets a clear reply or a clean
    close, never a crash or a hang.

Every loop is bounded in count and time. Under a sanitizer build (the
sanitizer's options are set in the environment) the time bounds are scaled.
"""

import os
import pathlib
import signal
import socket
import ssl
import struct
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[0] / "e2e"))
sys.path.insert(0, str(HERE.parents[0] / "wsapps"))
import vexa_e2e as e2e  # noqa: E402
import wsclient  # noqa: E402

SLOW = e2e.SLOW
LIMIT = 1000  # connections the server serves at once


def group_arg():
    for i, a in enumerate(sys.argv):
        if a == "--group" and i + 1 < len(sys.argv):
            return sys.argv[i + 1]
    return "all"


# -- small clients -------------------------------------------------------------

def connect(port, timeout=10.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    return s


class _Reader:
    def __init__(self, sock):
        self.sock = sock
        self.buf = bytearray()

    def fill(self):
        chunk = self.sock.recv(1 << 20)
        if not chunk:
            raise ConnectionError("closed early")
        self.buf += chunk

    def line(self):
        while b"\r\n" not in self.buf:
            self.fill()
        i = self.buf.index(b"\r\n")
        out = bytes(self.buf[:i])
        del self.buf[:i + 2]
        return out

    def take(self, n, keep):
        """Consumes n bytes; appends at most to `keep`'s spare room (a bytearray
        with a `room` attribute handled by the caller)."""
        while n > 0:
            if not self.buf:
                self.fill()
            k = min(n, len(self.buf))
            keep(self.buf[:k])
            del self.buf[:k]
            n -= k


def read_reply(sock, timeout=10.0, limit=None):
    """Reads one HTTP reply: (status, headers, body, body size). Chunked and
    Content-Length bodies are read to their end, others to the close. With
    `limit`, only the first `limit` body bytes are kept (a flood is drained)."""
    sock.settimeout(timeout)
    r = _Reader(sock)
    status_line = r.line().decode("latin-1")
    status = int(status_line.split()[1])
    headers = {}
    while True:
        line = r.line().decode("latin-1")
        if not line:
            break
        k, _, v = line.partition(":")
        headers[k.strip().lower()] = v.strip()
    body = bytearray()
    size = [0]

    def keep(data):
        size[0] += len(data)
        if limit is None or len(body) < limit:
            body.extend(data)

    if headers.get("transfer-encoding", "").lower() == "chunked":
        while True:
            n = int(r.line().split(b";")[0], 16)
            if n == 0:
                while r.line():
                    pass
                break
            r.take(n, keep)
            r.line()
    elif "content-length" in headers:
        r.take(int(headers["content-length"]), keep)
    else:
        keep(bytes(r.buf))
        r.buf.clear()
        try:
            while True:
                r.fill()
                keep(bytes(r.buf))
                r.buf.clear()
        except (ConnectionError, ConnectionResetError):
            pass
    return status, headers, bytes(body), size[0]


def get(port, path, timeout=10.0, extra=""):
    with connect(port, timeout) as s:
        s.sendall(("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n" % (path, port, extra)).encode())
        status, headers, body, _ = read_reply(s, timeout)
        return status, body


def probe(port, bound):
    """The sample start page; its time must stay under `bound` seconds."""
    t0 = time.monotonic()
    status, body = get(port, "/index.html", timeout=max(10.0, bound * 4))
    took = time.monotonic() - t0
    assert status == 200 and b"</html>" in body, (status, body[:200])
    assert took < bound, "probe page took %.2f s (bound %.2f s)" % (took, bound)
    return took


def closed_within(sock, seconds):
    """True when the peer closes (EOF or reset) within `seconds`."""
    sock.settimeout(seconds)
    try:
        while True:
            data = sock.recv(65536)
            if not data:
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except (socket.timeout, TimeoutError):
        return False


def proc_threads(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    return -1


def proc_fds(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def proc_rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) // 1024
    return -1


def wait_until(cond, timeout, step=0.2):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if cond():
            return True
        time.sleep(step)
    return cond()


def tls_hello_prefix():
    """The first bytes of a real TLS ClientHello, cut in the middle."""
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    incoming, outgoing = ssl.MemoryBIO(), ssl.MemoryBIO()
    obj = ctx.wrap_bio(incoming, outgoing, server_hostname="localhost")
    try:
        obj.do_handshake()
    except ssl.SSLWantReadError:
        pass
    hello = outgoing.read()
    return hello[: len(hello) // 2]


def server_env():
    return dict(os.environ)


# -- connections ---------------------------------------------------------------

def connections_tests():
    def test_thousand_mixed_connections():
        with e2e.TestBundle(e2e.build_dir()) as b:
            srv = b.start(["--port", str(b.port)])
            port = srv.port
            probe(port, 5 * SLOW)  # warm-up: the first PHP start loads caches
            time.sleep(0.5)
            threads0, fds0 = proc_threads(srv.pid), proc_fds(srv.pid)

            socks = []
            lock = threading.Lock()
            hello = tls_hello_prefix()

            def keep(s):
                with lock:
                    socks.append(s)

            # Under a sanitizer the server takes in a thousand connections
            # slowly: each step may take as much longer.
            step = 30 * SLOW

            def idle_keepalive(_):
                s = connect(port, step)
                s.sendall(("GET /style.css HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                status, _, _, _ = read_reply(s, step)
                assert status == 200, status
                keep(s)

            def request_line_only(_):
                s = connect(port, step)
                s.sendall(b"GET /index.html HTTP/1.1\r\n")
                keep(s)

            def tls_midway(_):
                s = connect(port, step)
                s.sendall(hello)
                keep(s)

            def ws_no_app(_):
                c = wsclient.WsClient(port, timeout=step)
                keep(c.sock)

            def ws_with_app(i):
                c = wsclient.WsClient(port, timeout=step)
                c.send(wsclient.start_message("wsecho", {"text": "load %d" % i}))
                data = c.recv_data(timeout=step)
                assert data["echo"] == "load %d" % i, data
                keep(c.sock)

            plan = ([idle_keepalive] * 300 + [request_line_only] * 250 + [tls_midway] * 240
                    + [ws_no_app] * 170 + [ws_with_app] * 30)
            t0 = time.monotonic()
            with ThreadPoolExecutor(32) as pool:
                list(pool.map(lambda fi: fi[1](fi[0]), enumerate(plan)))
            opened = time.monotonic() - t0
            assert len(socks) == len(plan) == 990
            apps = len(wsclient.processes_under(b.root))
            assert apps == 30, "expected 30 running applications, found %d" % apps

            # A probe page while 990 connections are open (one of the ten
            # places that are left).
            took = probe(port, 1.0 * SLOW)

            # Up to the limit, and past it: the extra connections are closed
            # at once while the others stay.
            extra = []
            for _ in range(25):
                extra.append(connect(port))
            refused = sum(1 for s in extra if closed_within(s, 3.0))
            assert refused >= 10, "only %d of 25 connections past the limit were refused" % refused
            assert srv.proc.poll() is None
            for s in extra:
                s.close()

            # Everybody leaves.
            for s in socks:
                try:
                    s.close()
                except OSError:
                    pass
            socks.clear()
            back = wait_until(lambda: proc_threads(srv.pid) <= threads0 and proc_fds(srv.pid) <= fds0,
                              60 * SLOW, 0.5)
            assert back, "threads %d (start %d), descriptors %d (start %d)" % (
                proc_threads(srv.pid), threads0, proc_fds(srv.pid), fds0)
            wsclient.wait_no_processes(b.root, timeout=30 * SLOW)
            probe(port, 2.0 * SLOW)
            code, out = srv.stop(timeout=30 * SLOW)
            assert code == 0, out[-2000:]
            print("connections: opened 990 in %.1f s, probe %.3f s, refused %d of 25 past the limit"
                  % (opened, took, refused))

    return [test_thousand_mixed_connections]


# -- faults --------------------------------------------------------------------

CRASH_PAGE = r"""<?php
// Sends one part, then half of an envelope, then dies without a goodbye.
return function (VexaRequest $req, VexaReply $reply): void {
    $reply->send("first part\n");
    fwrite(STDOUT, '{ "headers" : { }, "content" : "4142');
    fflush(STDOUT);
    if (function_exists('posix_kill')) { posix_kill(getmypid(), 9); }
    exit(3);
};
"""

FOREVER_PAGE = r"""<?php
// Sends one part and never ends.
return function (VexaRequest $req, VexaReply $reply): void {
    $reply->send("still here\n");
    while (true) { sleep(1); }
};
"""

FLOOD_OUT_PAGE = r"""<?php
// 100 MiB on standard output, in lines of 1 MiB outside any envelope.
return function (VexaRequest $req, VexaReply $reply): void {
    $line = str_repeat('x', 1048575) . "\n";
    for ($i = 0; $i < 100; $i++) { fwrite(STDOUT, $line); }
    fflush(STDOUT);
};
"""

FLOOD_ERR_PAGE = r"""<?php
// 100 MiB on standard error in lines of 64 KiB, then a normal reply.
return function (VexaRequest $req, VexaReply $reply): void {
    $line = str_repeat('e', 65535) . "\n";
    for ($i = 0; $i < 1600; $i++) { fwrite(STDERR, $line); }
    $reply->send("done after the flood\n");
};
"""


def write_fault_pages(b):
    for name, text in (("crash", CRASH_PAGE), ("forever", FOREVER_PAGE),
                       ("floodout", FLOOD_OUT_PAGE), ("flooderr", FLOOD_ERR_PAGE)):
        b.write_file(os.path.join(b.sample, "pages", name + ".php"), text)


def faults_tests():
    def test_faulty_applications_and_sigint():
        with e2e.TestBundle(e2e.build_dir()) as b:
            write_fault_pages(b)
            srv = b.start(["--port", str(b.port)])
            port = srv.port
            probe(port, 5 * SLOW)
            results = {}
            errors = []

            def run(name, fn):
                try:
                    results[name] = fn()
                except Exception as e:  # reported below
                    errors.append("%s: %r" % (name, e))

            def crash():
                status, body = get(port, "/crash.html", timeout=30 * SLOW)
                return status, body[:100]

            def forever():
                s = connect(port)
                s.sendall(("GET /forever.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                s.settimeout(20 * SLOW)
                got = s.recv(65536)
                assert b"still here" in got or b"200" in got, got[:200]
                s.close()  # the client goes, and the page is stopped
                return "left"

            def floodout():
                with connect(port, 120 * SLOW) as s:
                    s.sendall(("GET /floodout.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                    status, _, _, n = read_reply(s, 120 * SLOW, limit=1024)
                    return status, n

            def flooderr():
                with connect(port, 120 * SLOW) as s:
                    s.sendall(("GET /flooderr.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                    status, _, body, n = read_reply(s, 120 * SLOW, limit=1 << 16)
                    return status, n

            def leave_mid_chunked():
                s = connect(port)
                s.sendall(("GET /stream.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
                s.settimeout(20 * SLOW)
                got = s.recv(65536)
                assert b"chunked" in got.lower(), got[:300]
                s.close()
                return "left"

            workers = [threading.Thread(target=run, args=(n, f)) for n, f in (
                ("crash", crash), ("forever", forever), ("floodout", floodout),
                ("flooderr", flooderr), ("leave", leave_mid_chunked))]
            for w in workers:
                w.start()
            # Other clients are served throughout.
            slowest = 0.0
            t_end = time.monotonic() + 6
            while time.monotonic() < t_end:
                slowest = max(slowest, probe(port, 3.0 * SLOW))
                time.sleep(0.3)
            for w in workers:
                w.join(180 * SLOW)
                assert not w.is_alive(), "a faulty application's client hangs"
            assert not errors, errors
            assert results["crash"][0] == 200 and b"first part" in results["crash"][1], results["crash"]
            assert results["floodout"][0] == 200 and results["floodout"][1] >= 100 * (1 << 20) - 100, results["floodout"]
            assert results["flooderr"][0] == 200, results["flooderr"]
            probe(port, 2.0 * SLOW)

            # The never-ending page whose client left was stopped; one whose
            # client stays runs until SIGINT, which with a flood under way
            # ends everything within a bound.
            srv.wait_for("Page /forever.html stopped: its client left", 10 * SLOW)
            stay = connect(port)
            stay.sendall(("GET /forever.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
            stay.settimeout(20 * SLOW)
            assert stay.recv(65536)
            assert any("forever" in p[2] for p in wsclient.processes_under(b.root)), \
                wsclient.processes_under(b.root)
            flood = threading.Thread(target=run, args=("flood2", floodout))
            flood.start()
            c = wsclient.WsClient(port)
            c.send(wsclient.start_message("wsecho", {"text": "before sigint"}))
            c.recv_data(timeout=20 * SLOW)
            time.sleep(0.3)
            t0 = time.monotonic()
            code, out = srv.stop(signal.SIGINT, timeout=30 * SLOW)
            took = time.monotonic() - t0
            assert code == 0, out[-3000:]
            flood.join(30)
            c.sock.close()
            stay.close()
            wsclient.wait_no_processes(b.root, timeout=10)
            print("faults: probe slowest %.3f s during the faults, shutdown %.1f s" % (slowest, took))

    def test_sigkill_leaves_no_php_process():
        with e2e.TestBundle(e2e.build_dir()) as b:
            write_fault_pages(b)
            srv = b.start(["--port", str(b.port)])
            port = srv.port
            s = connect(port)
            s.sendall(("GET /forever.html HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n\r\n" % port).encode())
            s.settimeout(20 * SLOW)
            assert s.recv(65536)
            c = wsclient.WsClient(port)
            c.send(wsclient.start_message("wsecho", {"text": "x"}))
            c.recv_data(timeout=20 * SLOW)
            assert len(wsclient.processes_under(b.root)) >= 2
            os.kill(srv.pid, signal.SIGKILL)  # the server only, not its group
            srv.proc.wait(10)
            wsclient.wait_no_processes(b.root, timeout=5)
            s.close()
            c.sock.close()

    return [test_faulty_applications_and_sigint, test_sigkill_leaves_no_php_process]


# -- bad input -----------------------------------------------------------------

def answer_or_close(port, raw, timeout=10.0):
    """Sends raw bytes; returns the status of a reply, or None for a clean close."""
    with connect(port, timeout) as s:
        try:
            s.sendall(raw)
        except (BrokenPipeError, ConnectionResetError):
            return None
        try:
            status, _, _, _ = read_reply(s, timeout)
            return status
        except (ConnectionError, ConnectionResetError):
            return None


def badinput_tests():
    def test_malformed_http():
        with e2e.TestBundle(e2e.build_dir()) as b:
            srv = b.start(["--port", str(b.port)])
            port = srv.port
            host = "Host: 127.0.0.1:%d\r\n" % port
            cases = {
                "garbage request line": (b"GARBAGE\r\n\r\n", {400, None}),
                "bad version": (b"GET / HTTP/9.9\r\n" + host.encode() + b"\r\n", {400, 505, None}),
                "header without colon": (b"GET /index.html HTTP/1.1\r\n" + host.encode() + b"NoColonHere\r\n\r\n", {400, None}),
                "oversized header": (b"GET /index.html HTTP/1.1\r\n" + host.encode() + b"X-Big: " + b"a" * 100000 + b"\r\n\r\n", {431, 400, None}),
                "oversized body": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Content-Type: text/plain\r\nContent-Length: 100000000\r\n\r\n" + b"x" * 1000, {413, None}),
                "bad content length": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Content-Length: -5\r\n\r\n", {400, None}),
                "bad chunk size": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: chunked\r\n\r\nZZ\r\n", {400}),
                "chunk size past 64 bits": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: chunked\r\n\r\n"
                                            + b"1" * 17 + b"\r\n", {400}),
                "bare LF chunk lines": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: chunked\r\n\r\n"
                                        b"5\nhello\n0\n\n", {400}),
                "chunk data without CRLF": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: chunked\r\n\r\n"
                                            b"5\r\nhelloX0\r\n\r\n", {400}),
                "unknown transfer coding": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: xchunked\r\n\r\n"
                                            b"GET /index.html HTTP/1.1\r\n" + host.encode() + b"\r\n", {501}),
                "gzip transfer coding": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: gzip\r\n"
                                         b"Content-Length: 4\r\n\r\nabcd", {501}),
                "coding before chunked": (b"POST /form.html HTTP/1.1\r\n" + host.encode() + b"Transfer-Encoding: gzip, chunked\r\n\r\n"
                                          b"0\r\n\r\n", {501}),
                "two hosts": (b"GET /index.html HTTP/1.1\r\n" + host.encode() + host.encode() + b"\r\n", {400}),
                "method not handled": (b"DELETE /index.html HTTP/1.1\r\n" + host.encode() + b"\r\n", {405}),
                "missing host": (b"GET /index.html HTTP/1.1\r\n\r\n", {400}),
                "broken multipart": (b"POST /form.html HTTP/1.1\r\n" + host.encode()
                                     + b"Content-Type: multipart/form-data; boundary=XX\r\nContent-Length: 40\r\n\r\n"
                                     + b"--XX\r\nContent-Disposition: form-da--XX--", {200}),
                "multipart without boundary": (b"POST /form.html HTTP/1.1\r\n" + host.encode()
                                               + b"Content-Type: multipart/form-data\r\nContent-Length: 4\r\n\r\nabcd", {200}),
                "traversal path": (b"GET /../../../../etc/passwd HTTP/1.1\r\n" + host.encode() + b"\r\n", {404}),
                "traversal from the framework": (b"GET /~rs/../../../../../../../../etc/passwd HTTP/1.1\r\n" + host.encode()
                                                 + b"\r\n", {404}),
                "nul in target": (b"GET /a\x00b.css HTTP/1.1\r\n" + host.encode() + b"\r\n", {400, 404, None}),
            }
            failures = []
            for name, (raw, allowed) in cases.items():
                t0 = time.monotonic()
                try:
                    status = answer_or_close(port, raw, timeout=15 * SLOW)
                except (socket.timeout, TimeoutError):
                    status = "hang"
                if status not in allowed:
                    failures.append("%s: got %r, expected one of %r" % (name, status, allowed))
                if time.monotonic() - t0 > 15 * SLOW:
                    failures.append("%s: took %.1f s" % (name, time.monotonic() - t0))
                assert srv.proc.poll() is None, "server died on %s" % name
            # A request line and then silence is closed after the read bound;
            # the server does not wait for it to serve others.
            s = connect(port)
            s.sendall(b"GET /index.html HTTP/1.1\r\n")
            probe(port, 3.0 * SLOW)
            s.close()
            assert not failures, "\n".join(failures)
            code, out = srv.stop(timeout=30 * SLOW)
            assert code == 0, out[-2000:]

    def test_malformed_websocket():
        with e2e.TestBundle(e2e.build_dir()) as b:
            srv = b.start(["--port", str(b.port)])
            port = srv.port

            def ends_cleanly(c, what, expect_close=True):
                # The server answers a ping, or closes; never neither.
                try:
                    c.send_frame(0x9, b"still there?")
                except OSError:
                    return
                end = time.monotonic() + 10 * SLOW
                while time.monotonic() < end:
                    try:
                        b0, payload = c.recv_frame(timeout=end - time.monotonic())
                    except (wsclient.Closed, ConnectionError, OSError):
                        return
                    op = b0 & 0x0F
                    if op == 0x8 or (op == 0xA and not expect_close):
                        return
                raise AssertionError("%s: neither an answer nor a close" % what)

            # A reserved opcode, an invalid UTF-8 text, a close in the middle
            # of a fragmented message, a huge announced length, an unmasked
            # frame, a message above the size bound.
            c = wsclient.WsClient(port)
            c.send_frame(0x3, b"reserved")
            ends_cleanly(c, "reserved opcode", expect_close=False)
            c.sock.close()

            c = wsclient.WsClient(port)
            c.send_frame(0x1, b"\xc3\x28\xed\xa0\x80 {\"ctrl\":\"wsecho\"}")
            ends_cleanly(c, "invalid UTF-8", expect_close=False)
            c.sock.close()

            c = wsclient.WsClient(port)
            mask = b"\x01\x02\x03\x04"
            c.sock.sendall(bytes([0x01, 0x85]) + mask + bytes(x ^ mask[i % 4] for i, x in enumerate(b"start")))
            c.send_frame(0x8, struct.pack("!H", 1000))
            assert closed_within(c.sock, 10 * SLOW), "close mid-fragment: the server did not close"
            c.sock.close()

            c = wsclient.WsClient(port)
            c.sock.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", 1 << 62) + mask)
            assert closed_within(c.sock, 10 * SLOW), "huge length: the server did not close"
            c.sock.close()

            c = wsclient.WsClient(port)
            c.sock.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", 40 << 20) + mask + b"x" * 1000)
            assert closed_within(c.sock, 10 * SLOW), "message above the bound: the server did not close"
            c.sock.close()

            c = wsclient.WsClient(port)
            c.sock.sendall(bytes([0x81, 0x05]) + b"hello")
            ends_cleanly(c, "unmasked frame", expect_close=False)
            c.sock.close()

            # A deeply nested message to an application.
            c = wsclient.WsClient(port)
            c.send('{"ctrl":"wsecho","bdata":' + "[" * 200000 + "]" * 200000 + "}")
            ends_cleanly(c, "deep nesting", expect_close=False)
            c.sock.close()

            # A handshake without a key.
            status = answer_or_close(port, ("GET / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                                            "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n\r\n" % port).encode())
            assert status in (400, 426, None), status

            # And the server still serves applications.
            c = wsclient.WsClient(port)
            c.send(wsclient.start_message("wsecho", {"text": "after"}))
            assert c.recv_data(timeout=20 * SLOW)["echo"] == "after"
            c.close()
            probe(port, 3.0 * SLOW)
            code, out = srv.stop(timeout=30 * SLOW)
            assert code == 0, out[-2000:]
            wsclient.wait_no_processes(b.root, timeout=10)

    def test_announced_lengths_hold_no_memory():
        # Peers that announce large frames and then send almost nothing: the
        # server holds memory for what arrived, not for what was announced.
        with e2e.TestBundle(e2e.build_dir()) as b:
            srv = b.start(["--port", str(b.port)])
            before = proc_rss_mib(srv.pid)
            clients = []
            for _ in range(40):
                c = wsclient.WsClient(srv.port)
                c.sock.sendall(bytes([0x81, 0xFF]) + struct.pack("!Q", (32 << 20) - 16) + b"\1\2\3\4" + b"x")
                clients.append(c)
            time.sleep(1.0)
            grown = proc_rss_mib(srv.pid) - before
            for c in clients:
                c.sock.close()
            # 40 x 32 MiB would be 1280 MiB; a sanitizer's shadow memory for
            # the reader threads' stacks adds a few hundred MiB by itself.
            bound = 640 if SLOW > 1 else 200
            assert grown < bound, "40 announced 32 MiB frames made the server hold %d MiB" % grown
            probe(srv.port, 3.0 * SLOW)
            code, out = srv.stop(timeout=30 * SLOW)
            assert code == 0, out[-2000:]

    return [test_malformed_http, test_malformed_websocket, test_announced_lengths_hold_no_memory]


GROUPS = {"connections": connections_tests, "faults": faults_tests, "badinput": badinput_tests}

if __name__ == "__main__":
    g = group_arg()
    funcs = []
    for name, make in GROUPS.items():
        if g in ("all", name):
            funcs += make()
    sys.exit(e2e.run_tests(funcs))
