#!/usr/bin/env python3
"""End-to-end tests of the one-port listener and the file roads, against the
real vexaserver in a private copy of the bundle, with real clients (Python's
http.client and ssl, curl, openssl s_client).

    python3 http_e2e.py --build BUILD_DIR --group files|phar|tls
"""
import http.client
import json
import os
import pathlib
import socket
import ssl
import subprocess
import sys
import threading
import time
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
import vexa_e2e as e2e  # noqa: E402

BUILD = e2e.build_dir()
CACHE = "public, max-age=864000"


def check(cond, msg, srv=None):
    if not cond:
        extra = ""
        if srv is not None:
            extra = "\nstdout:\n%s\nstderr:\n%s" % (srv.output(), srv.stderr_text())
        raise AssertionError(msg + extra)


def get(conn, path, method="GET", body=None, headers=None):
    conn.request(method, path, body=body, headers=headers or {})
    r = conn.getresponse()
    return r, r.read()


def make_project(b, files):
    """A project folder in the bundle copy with an app.vexa and `files`."""
    for name, data in files.items():
        b.write_file("work/site/" + name, data)
    return os.path.dirname(b.write_file("work/site/app.vexa", json.dumps({"name": "site"})))


def tls_context():
    ctx = ssl.create_default_context()
    ctx.check_hostname = False
    ctx.verify_mode = ssl.CERT_NONE
    return ctx


def raw_exchange(port, data, wait=3.0):
    """Sends bytes on a fresh connection; returns what came back before close."""
    with socket.create_connection(("127.0.0.1", port), timeout=wait) as s:
        s.sendall(data)
        got = b""
        deadline = time.monotonic() + wait
        while time.monotonic() < deadline:
            try:
                chunk = s.recv(65536)
            except (ConnectionResetError, socket.timeout):
                break
            if not chunk:
                break
            got += chunk
        return got


# ---------------------------------------------------------------------------
# Static files

def test_static_files_on_one_keep_alive_connection():
    with e2e.TestBundle(BUILD) as b:
        fw = os.path.dirname(b.write_file("fw/js/app.js", "var app = 1;\n"))
        fw = os.path.dirname(fw)
        b.write_settings({"orvantphppath": fw})
        binary = bytes(range(256)) * 400
        proj = make_project(b, {
            "style.css": "body { color: red }\n",
            "img/a%20b.png": "not really a png",
            "x.php.html": "<p>x</p>",
            "y.front.html": "<p>y</p>",
            "page.HTML": "upper",
            "dir.d/keep": "",
        })
        b.write_file("work/site/data.bin", binary.decode("latin-1"))
        with open(os.path.join(proj, "data.bin"), "wb") as f:
            f.write(binary)
        outside = b.write_file("elsewhere/note.txt", "from far away")
        srv = b.start([proj + "/app.vexa"])
        conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10)

        r, body = get(conn, "/style.css")
        check(r.status == 200 and body == b"body { color: red }\n", "style.css", srv)
        check(r.getheader("Content-Type") == "text/css", "css type %r" % r.getheader("Content-Type"))
        check(r.getheader("Cache-Control") == CACHE, "cache header")
        sock = conn.sock

        r, body = get(conn, "/style.css?v=2&x=%41")
        check(r.status == 200 and body.startswith(b"body"), "query ignored")
        r, body = get(conn, "/img/a%20b.png")
        check(r.status == 200 and body == b"not really a png", "no percent decoding")
        check(r.getheader("Content-Type") == "image/png", "png type")
        r, body = get(conn, "/img/a b.png".replace(" ", "%2520"))
        check(r.status == 404, "%2520 names another file")
        r, body = get(conn, "/data.bin")
        check(body == binary, "binary file whole")

        r, body = get(conn, "/missing.txt")
        check(r.status == 404 and body == ("404 %s/missing.txt Not Found" % proj).encode(), body)
        r, body = get(conn, "/dir.d")
        check(r.status == 404, "a folder is not a file")

        r, body = get(conn, "/x.php")
        check(r.status == 200 and body == b"<p>x</p>", "php gets .html")
        r, body = get(conn, "/y.front")
        check(r.status == 200 and body == b"<p>y</p>", "front gets .html")
        r, body = get(conn, "/z.php")
        check(body == ("404 %s/z.php.html Not Found" % proj).encode(), body)
        r, body = get(conn, "/page.HTML")
        check(r.status == 200 and body == b"upper", "upper-case HTML is a file")

        r, body = get(conn, "/~rs/js/app.js")
        check(r.status == 200 and body == b"var app = 1;\n", "~rs/")
        check(r.getheader("Content-Type") == "application/javascript" or
              "javascript" in r.getheader("Content-Type"), "js type")
        r, body = get(conn, "/any/prefix~rs/js/app.js")
        check(r.status == 200 and body == b"var app = 1;\n", "prefix before ~rs/")
        r, body = get(conn, "/~furl/" + outside)
        check(r.status == 200 and body == b"from far away", "~furl/")

        r, body = get(conn, "/style.css", method="POST", body="a=1",
                      headers={"Content-Type": "application/x-www-form-urlencoded"})
        check(r.status == 200 and body.startswith(b"body"), "POST of a file")
        for method in ("PUT", "DELETE", "OPTIONS"):
            r, body = get(conn, "/style.css", method=method)
            check(r.status == 405 and r.getheader("Allow") == "GET, POST", method)
        check(conn.sock is sock, "every request on the same connection")
        conn.close()

        # curl sees the same, and closes cleanly with "Connection: close".
        out = subprocess.run(["curl", "-s", "-D", "-", "-H", "Connection: close",
                              "http://127.0.0.1:%d/style.css" % srv.port],
                             capture_output=True, text=True, timeout=20).stdout
        check("Cache-Control: public, max-age=864000" in out and out.endswith("color: red }\n"), out)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


# ---------------------------------------------------------------------------
# .phar files

def make_phar(path, files):
    code = ("$p = new Phar($argv[1]); foreach (json_decode($argv[2], true) as $n => $t) "
            "{ $p->addFromString($n, $t); } $p->setStub('<?php __HALT_COMPILER();');")
    subprocess.run(["php", "-d", "phar.readonly=0", "-r", code, path, json.dumps(files)],
                   check=True, capture_output=True, timeout=30)


def read_chunked_raw(port, path):
    """The raw reply of one request (with Connection: close)."""
    req = "GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n" % path
    return raw_exchange(port, req.encode(), wait=15)


def test_phar_files_streamed_as_chunks():
    with e2e.TestBundle(BUILD) as b:
        big = "".join("line %05d of a big file\n" % i for i in range(2000))  # ~50 KB
        phar = b.path("work/app.phar")
        os.makedirs(os.path.dirname(phar), exist_ok=True)
        make_phar(phar, {"app.vexa": json.dumps({"name": "p"}), "css/a.css": "p { x: 1 }",
                         "big.txt": big, "empty.txt": ""})
        pwned = b.path("work/PWNED")
        srv = b.start([phar])
        conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=20)
        r, body = get(conn, "/css/a.css")
        check(r.status == 200 and body == b"p { x: 1 }", "file in archive %r" % body, srv)
        check(r.getheader("Transfer-Encoding") == "chunked", "chunked")
        check(r.getheader("Content-Type") == "text/css", "type from extension")
        check(r.getheader("Cache-Control") == CACHE, "cache header")
        check(r.getheader("X-Content-Type-Options") == "nosniff" and
              r.getheader("Cross-Origin-Resource-Policy") == "same-origin", "kept from other origins")
        sock = conn.sock
        r, body = get(conn, "/big.txt")
        check(body == big.encode(), "big file whole")
        r, body = get(conn, "/empty.txt")
        check(r.status == 200 and body == b"", "empty file: 200, empty body")
        # Not in the archive: a real 404, not an empty success.
        r, body = get(conn, "/nothere.css")
        check(r.status == 404 and body == ("404 %s/nothere.css Not Found" % phar).encode(), body)
        check(r.getheader("Cache-Control") is None and r.getheader("X-Content-Type-Options") is None,
              "a missing file is no file reply: %r" % r.headers)
        # A quote or backslash in the path cannot end the PHP literal.
        for evil in ("/x';touch('%s');'.css" % pwned, "/x\\';touch('%s');//.css" % pwned):
            r, body = get(conn, evil)
            check(r.status == 404, "evil path answered %d" % r.status)
        check(not os.path.exists(pwned), "the request ran code", srv)
        check(conn.sock is sock, "keep-alive across chunked replies")
        conn.close()

        raw = read_chunked_raw(srv.port, "/big.txt")
        head, _, rest = raw.partition(b"\r\n\r\n")
        check(b"Transfer-Encoding: chunked" in head and b"Connection: close" in head, head)
        raw10 = raw_exchange(srv.port, b"GET /empty.txt HTTP/1.0\r\nHost: x\r\n\r\n", wait=15)
        check(b"\r\nConnection: close\r\n" in raw10, raw10)
        check(rest.endswith(b"0\r\n\r\n"), "end chunk")
        first = rest.split(b"\r\n", 1)[0]
        check(int(first, 16) <= 16384, "chunks of at most 16384 bytes")
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


# ---------------------------------------------------------------------------
# TLS on the same port

def test_http_and_https_on_one_port():
    with e2e.TestBundle(BUILD) as b:
        proj = make_project(b, {"s.txt": "same file"})
        srv = b.start([proj + "/app.vexa"])
        port = srv.port
        plain = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        secure = http.client.HTTPSConnection("127.0.0.1", port, timeout=10, context=tls_context())
        for _ in range(3):  # interleaved on two live connections
            r1, b1 = get(plain, "/s.txt")
            r2, b2 = get(secure, "/s.txt")
            check(b1 == b"same file" and b2 == b"same file", "both served", srv)
        check(secure.sock.version() in ("TLSv1.2", "TLSv1.3"), secure.sock.version())
        plain.close()
        secure.close()

        # The development certificate chain verifies against the bundle's CA.
        ca = os.path.join(b.conf, "RootCA.pem")
        out = subprocess.run(["curl", "-s", "--cacert", ca, "https://localhost:%d/s.txt" % port],
                             capture_output=True, text=True, timeout=20)
        check(out.stdout == "same file", "curl over verified TLS: %r %r" % (out.stdout, out.stderr))

        # openssl s_client, TLS 1.2 and 1.3.
        for flag in ("-tls1_2", "-tls1_3"):
            req = b"GET /s.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"
            out = subprocess.run(["openssl", "s_client", "-connect", "127.0.0.1:%d" % port,
                                  "-quiet", "-ign_eof", flag], input=req,
                                 capture_output=True, timeout=20)
            check(out.stdout.endswith(b"same file"), "s_client %s: %r" % (flag, out.stdout[-200:]))

        # Old protocol versions are refused.
        old = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        old.check_hostname = False
        old.verify_mode = ssl.CERT_NONE
        warnings.simplefilter("ignore", DeprecationWarning)  # old versions on purpose
        try:
            old.minimum_version = ssl.TLSVersion.TLSv1
            old.maximum_version = ssl.TLSVersion.TLSv1_1
            old.set_ciphers("ALL:@SECLEVEL=0")
        except (ValueError, ssl.SSLError):
            old = None
        if old is not None:
            refused = False
            try:
                with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                    with old.wrap_socket(s):
                        pass
            except (ssl.SSLError, OSError):
                refused = True
            check(refused, "TLS 1.1 handshake succeeded")

        # An SSLv2-style hello is taken for TLS and fails quietly.
        v2 = bytes([0x80, 0x2e, 0x01, 0x00, 0x02, 0x00, 0x15, 0x00, 0x00, 0x00, 0x10]) + \
            bytes([0x07, 0x00, 0xc0] * 7) + bytes(16)
        got = raw_exchange(port, v2)
        check(b"HTTP" not in got, "a reply went to an SSLv2 hello")
        # A plain request still works after all that.
        r, body = get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), "/s.txt")
        check(body == b"same file", "server goes on", srv)
        check("Error" not in srv.output(), "quiet console", srv)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def test_secure_one_refuses_plain_clients():
    for value in (1, "1"):
        with e2e.TestBundle(BUILD, settings={"secure": value}) as b:
            proj = make_project(b, {"s.txt": "secret"})
            srv = b.start([proj + "/app.vexa"], wait="line")
            deadline = time.monotonic() + 10
            while True:
                try:
                    conn = http.client.HTTPSConnection("127.0.0.1", srv.port, timeout=10,
                                                       context=tls_context())
                    r, body = get(conn, "/s.txt")
                    break
                except OSError:
                    if time.monotonic() > deadline:
                        raise
                    time.sleep(0.1)
            check(body == b"secret", "TLS client served", srv)
            got = raw_exchange(srv.port, b"GET /s.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            check(got == b"", "plain client got %r" % got[:80])
            code, _ = srv.stop()
            check(code == 0, "clean stop", srv)


def test_request_limits():
    with e2e.TestBundle(BUILD) as b:
        proj = make_project(b, {"s.txt": "ok"})
        srv = b.start([proj + "/app.vexa"])
        got = raw_exchange(srv.port, b"GET /s.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Big: " +
                           b"a" * (70 * 1024) + b"\r\n\r\n")
        check(got.startswith(b"HTTP/1.1 431"), got[:60])
        got = raw_exchange(srv.port, b"POST /s.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           b"Content-Length: %d\r\n\r\n" % (65 * 1024 * 1024))
        check(got.startswith(b"HTTP/1.1 413"), got[:60])
        # A body within the limit is read and the request served.
        body = b"x" * (1024 * 1024)
        r, data = get(http.client.HTTPConnection("127.0.0.1", srv.port, timeout=20), "/s.txt",
                      method="POST", body=body)
        check(r.status == 200 and data == b"ok", "1 MiB POST")
        # curl asks before sending a large body; the server says go on at once.
        big = b.write_file("work/big.bin", "y" * (2 * 1024 * 1024))
        t0 = time.monotonic()
        out = subprocess.run(["curl", "-s", "--data-binary", "@" + big, "-H", "Expect: 100-Continue",
                              "--expect100-timeout", "5", "http://127.0.0.1:%d/s.txt" % srv.port],
                             capture_output=True, text=True, timeout=30)
        check(out.stdout == "ok" and time.monotonic() - t0 < 4, "100-continue: %r" % out.stdout)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def test_phar_without_php_is_an_error_not_an_empty_success():
    with e2e.TestBundle(BUILD) as b:
        phar = b.path("work/app.phar")
        os.makedirs(os.path.dirname(phar), exist_ok=True)
        make_phar(phar, {"app.vexa": json.dumps({"name": "p"}), "a.css": "x"})
        b.write_settings({"php": b.path("no/such/php")})
        srv = b.start([phar])
        r, body = get(http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10), "/a.css")
        check(r.status == 500, "status %d" % r.status, srv)
        srv.wait_for("Error in Phar File " + phar + " Project Read In Phar File ")
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


pid_alive = e2e.pid_alive


def test_phar_child_streams_and_error_lines():
    # A stand-in for PHP shows what the road does with a child's two streams
    # and its exit code: output in chunks as it comes, error text as console
    # lines, and the "not in the archive" exit code as a 404; and a read
    # whose client leaves is stopped at once, with one console line.
    with e2e.TestBundle(BUILD) as b:
        phar = b.path("work/app.phar")
        os.makedirs(os.path.dirname(phar), exist_ok=True)
        make_phar(phar, {"app.vexa": json.dumps({"name": "p"})})
        fake = b.write_file("work/fakephp", "#!/bin/sh\n"
                            "case \"$2\" in\n"
                            "  *missing*) exit 4 ;;\n"
                            "  *warn*) echo 'a warning' >&2; exit 0 ;;\n"
                            "  *forever*) printf 'pid %d' $$; exec sleep 60 ;;\n"
                            "esac\n"
                            "printf 'first '; sleep 0.3; printf 'second'; echo 'late warning' >&2\n",
                            mode=0o755)
        b.write_settings({"php": fake})
        srv = b.start([phar])
        conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10)
        r, body = get(conn, "/a.txt")
        check(r.status == 200 and body == b"first second", "streamed body %r" % body, srv)
        check(r.getheader("Transfer-Encoding") == "chunked", "chunked")
        srv.wait_for("Error Phar File:- late warning")
        r, body = get(conn, "/missing.txt")
        check(r.status == 404 and body == ("404 %s/missing.txt Not Found" % phar).encode(), body)
        r, body = get(conn, "/warn.txt")
        check(r.status == 200 and body == b"", "only a warning: empty body")
        srv.wait_for("Error Phar File:- a warning")
        # The client leaves a read whose PHP would run for a minute.
        with socket.create_connection(("127.0.0.1", srv.port), timeout=20 * e2e.SLOW) as s:
            s.sendall(b"GET /forever.txt HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            got = b""
            while b"pid " not in got or not got.endswith(b"\r\n"):
                chunk = s.recv(4096)
                check(chunk, "closed before the read began: %r" % got, srv)
                got += chunk
            pid = int(got.split(b"pid ", 1)[1].split(b"\r\n")[0])
            check(pid_alive(pid), "the read runs", srv)
        left = time.monotonic()
        while pid_alive(pid):  # about at once; far less than the stand-in's minute
            check(time.monotonic() - left < 30, "the read's process %d still runs" % pid, srv)
            time.sleep(0.02)
        srv.wait_for("Phar read /forever.txt stopped: its client left")
        r, body = get(http.client.HTTPConnection("127.0.0.1", srv.port, timeout=10), "/warn.txt")
        check(r.status == 200, "the server goes on: %d" % r.status, srv)
        code, out = srv.stop()
        check(code == 0, "clean stop", srv)
        check(out.count("Phar read /forever.txt stopped: its client left") == 1 and "Error in Phar File" not in out
              and "Error Request Handler" not in out, "one line for the read that was left:\n" + out, srv)


def server_children(pid):
    """Processes whose parent is the server (zombies included)."""
    n = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == pid:
                    n += 1
        except (OSError, ValueError, IndexError):
            continue
    return n


def test_phar_reads_count_against_the_process_bound():
    # Each read of a file out of the archive is a PHP process: 300 at once
    # never make the server run more than its 256, the rest wait for a slot
    # (10 s) and then get 503, and the slots come back when the reads end. A
    # stand-in for PHP notes its start and holds each read until released, so
    # the starts counted before the release are the processes run at once.
    most_processes, asked = 256, 300
    with e2e.TestBundle(BUILD) as b:
        phar = b.path("work/app.phar")
        os.makedirs(os.path.dirname(phar), exist_ok=True)
        make_phar(phar, {"app.vexa": json.dumps({"name": "p"})})
        # Held on a FIFO, not by polling: 256 waiting stand-ins cost nothing.
        release, gate, starts = b.path("work/release"), b.path("work/gate"), b.path("work/starts")
        os.mkfifo(gate)
        fake = b.write_file("work/fakephp", "#!/bin/bash\n"
                            "case \"$2\" in *app.vexa*) printf '{\"name\": \"p\"}'; exit 0 ;; esac\n"
                            "echo started >> '%s'\n"
                            "[ -e '%s' ] || read -r -t 900 line <> '%s'\n"
                            "printf held\n" % (starts, release, gate), mode=0o755)
        b.write_settings({"php": fake})
        srv = b.start([phar])
        statuses = []

        def ask():
            try:
                conn = http.client.HTTPConnection("127.0.0.1", srv.port, timeout=120 * e2e.SLOW)
                r, body = get(conn, "/a.txt")
                statuses.append((r.status, body))
                conn.close()
            except Exception as e:  # noqa: BLE001
                statuses.append((repr(e), b""))

        def started():
            try:
                with open(starts) as f:
                    return f.read().count("started")
            except FileNotFoundError:
                return 0

        askers = [threading.Thread(target=ask, daemon=True) for _ in range(asked)]
        for t in askers:
            t.start()
        busy = ("Error: Request Handler Error:- Server busy: the server runs as many PHP processes as it may at "
                "once (256); the file waited 10000 ms Path /a.txt")
        try:
            end = time.monotonic() + 90 * e2e.SLOW
            while srv.output().count(busy) < asked - most_processes or started() < most_processes:
                check(time.monotonic() < end, "%d waits answered 503, %d reads started" %
                      (srv.output().count(busy), started()), srv)
                check(started() <= most_processes, "the server ran %d processes at once" % started(), srv)
                time.sleep(0.05)
            # No read has ended yet: every start is a process that runs now.
            running = server_children(srv.pid)
            check(started() == most_processes and running == most_processes,
                  "%d reads started, %d processes run" % (started(), running), srv)
        finally:
            with open(release, "w"):
                pass
            fd = os.open(gate, os.O_RDWR | os.O_NONBLOCK)
            try:
                os.write(fd, b"\n" * (2 * asked))
            finally:
                os.close(fd)
            for t in askers:
                t.join(60 * e2e.SLOW)
        # Exceptions (texts) sort after the status codes, and show in the message.
        got = sorted((s for s, _ in statuses), key=lambda s: (not isinstance(s, int), str(s)))
        check(got == [200] * most_processes + [503] * (asked - most_processes), "replies %r" % got, srv)
        check(all(body == b"held" for s, body in statuses if s == 200), "bodies")
        r, body = get(http.client.HTTPConnection("127.0.0.1", srv.port, timeout=20), "/a.txt")
        check(r.status == 200 and body == b"held", "slots given back: %d" % r.status, srv)
        print("phar reads: %d processes at once, %d x 200, %d x 503" %
              (most_processes, got.count(200), got.count(503)))
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


# ---------------------------------------------------------------------------
# Who may ask for what

WS_KEY = "dGhlIHNhbXBsZSBub25jZQ=="


def status_of(reply):
    """The status code of a raw reply, or None when nothing came."""
    if not reply.startswith(b"HTTP/1."):
        return None
    return int(reply.split(b" ", 2)[1])


def ws_handshake(port, host, origin=None, secure=False, fetch_site=None):
    """The status a WebSocket handshake gets (101 or a refusal)."""
    req = ("GET / HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n" % (host, WS_KEY))
    if origin is not None:
        req += "Origin: %s\r\n" % origin
    if fetch_site is not None:
        req += "Sec-Fetch-Site: %s\r\n" % fetch_site
    req += "\r\n"
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        s = tls_context().wrap_socket(raw) if secure else raw
        s.sendall(req.encode())
        got = b""
        while b"\r\n\r\n" not in got:
            chunk = s.recv(4096)
            if not chunk:
                break
            got += chunk
        return status_of(got)


def php_counting_runs(b):
    """A "php" setting that notes every start in a file before running PHP."""
    runs = b.path("work/php-runs")
    php = subprocess.run(["sh", "-c", "command -v php"], capture_output=True, text=True).stdout.strip()
    wrapper = b.write_file("work/php-counting", "#!/bin/sh\necho run >> '%s'\nexec '%s' \"$@\"\n" % (runs, php),
                           mode=0o755)
    return wrapper, runs


def test_host_field_must_name_this_machine():
    # A page of another site that points its own DNS name at 127.0.0.1
    # reaches the port, but its requests carry that name in Host.
    with e2e.TestBundle(BUILD) as b:
        outside = b.write_file("elsewhere/secret.txt", "local secret")
        proj = make_project(b, {"s.txt": "ok"})
        srv = b.start([proj + "/app.vexa"])
        port = srv.port
        out = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "-H", "Host: rebind.example:%d" % port,
                              "http://127.0.0.1:%d/~furl/%s" % (port, outside)],
                             capture_output=True, text=True, timeout=20).stdout
        check(out.endswith("\n403") and "local secret" not in out, "rebinding Host read a file: %r" % out, srv)
        for host in ("rebind.example:%d" % port, "rebind.example", "127.0.0.1.nip.example:%d" % port,
                     "localhost.evil.example:%d" % port, "[::2]:%d" % port, "10.0.0.1:%d" % port, "",
                     "127.0.0.1@evil.example:%d" % port):
            got = raw_exchange(port, ("GET /s.txt HTTP/1.1\r\nHost: %s\r\n\r\n" % host).encode())
            check(status_of(got) == 403 and b"\r\n\r\nok" not in got, "Host %r: %r" % (host, got[:80]), srv)
        check(ws_handshake(port, "rebind.example:%d" % port) == 403, "rebinding WebSocket handshake")
        for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "LocalHost", "[::1]:%d" % port,
                     "127.8.9.10", "127.0.0.1:"):
            got = raw_exchange(port, ("GET /s.txt HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                                      % host).encode())
            check(status_of(got) == 200 and got.endswith(b"\r\n\r\nok"), "Host %r: %r" % (host, got[:80]), srv)
        got = raw_exchange(port, b"GET /s.txt HTTP/1.0\r\n\r\n")
        check(status_of(got) == 200, "HTTP/1.0 without Host: %r" % got[:80])
        check(ws_handshake(port, "localhost:%d" % port) == 101, "WebSocket by a local name")
        out = subprocess.run(["curl", "-s", "http://localhost:%d/~furl/%s" % (port, outside)],
                             capture_output=True, text=True, timeout=20).stdout
        check(out == "local secret", "curl on localhost: %r" % out)
        # The machine's own host name maps to 127.0.0.1 too.
        got = raw_exchange(port, ("GET /s.txt HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n\r\n"
                                  % (socket.gethostname(), port)).encode())
        check(status_of(got) == 200 and got.endswith(b"\r\n\r\nok"), "host name: %r" % got[:80], srv)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)

        # Listening on every address changes nothing for clients on this
        # machine: a rebound page in the user's own browser is one of them.
        b.write_settings({"host": "0.0.0.0"})
        srv = b.start([proj + "/app.vexa"])
        rebound = "rebind.example:%d" % port
        out = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "-H", "Host: " + rebound,
                              "http://127.0.0.1:%d/~furl/%s" % (port, outside)],
                             capture_output=True, text=True, timeout=20).stdout
        check(out.endswith("\n403") and "local secret" not in out, "0.0.0.0, rebound Host: %r" % out, srv)
        got = raw_exchange(port, ("POST /s.txt HTTP/1.1\r\nHost: %s\r\nOrigin: http://%s\r\n"
                                  "Content-Length: 2\r\n\r\nab" % (rebound, rebound)).encode())
        check(status_of(got) == 403, "0.0.0.0, rebound POST: %r" % got[:80], srv)
        check(ws_handshake(port, rebound, "http://" + rebound) == 403, "0.0.0.0, rebound WebSocket", srv)
        for host in ("127.0.0.1:%d" % port, "localhost:%d" % port, "0.0.0.0:%d" % port,
                     "%s:%d" % (socket.gethostname(), port)):
            got = raw_exchange(port, ("GET /s.txt HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n"
                                      % host).encode())
            check(status_of(got) == 200 and got.endswith(b"\r\n\r\nok"), "0.0.0.0, Host %r: %r" % (host, got[:80]),
                  srv)
        check(ws_handshake(port, "127.0.0.1:%d" % port, "http://127.0.0.1:%d" % port) == 101, "0.0.0.0, own WebSocket")
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def own_non_loopback_ipv4():
    """One of this machine's own IPv4 addresses that is not loopback, or None."""
    try:
        words = subprocess.run(["hostname", "-I"], capture_output=True, text=True, timeout=10).stdout.split()
    except OSError:
        words = []
    for word in words:
        if "." in word and not word.startswith("127."):
            return word
    try:  # the address the default route would use (a UDP connect sends nothing)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.connect(("192.0.2.1", 9))
            address = s.getsockname()[0]
            return None if address.startswith("127.") or address == "0.0.0.0" else address
    except OSError:
        return None


def test_host_rule_holds_for_this_machines_own_address():
    # A browser on this machine may reach a 0.0.0.0 listener through the
    # machine's own LAN address: a rebinding site's page is then no loopback
    # peer, but it is on this machine and is held to the same Host rule.
    own = own_non_loopback_ipv4()
    if own is None:
        raise e2e.Skip("this machine has no non-loopback IPv4 address")
    with e2e.TestBundle(BUILD, settings={"host": "0.0.0.0"}) as b:
        outside = b.write_file("elsewhere/secret.txt", "local secret")
        proj = make_project(b, {"s.txt": "ok"})
        srv = b.start([proj + "/app.vexa"])
        port = srv.port

        def ask(request):
            with socket.create_connection((own, port), timeout=10) as s:
                check(s.getpeername()[0] == own and s.getsockname()[0] == own,
                      "not a connection within the machine: %r" % (s.getsockname(),))
                s.sendall(request)
                got = b""
                while True:
                    chunk = s.recv(65536)
                    if not chunk:
                        return got
                    got += chunk

        for host in ("evil.example:%d" % port, "evil.example", "10.0.0.1:%d" % port):
            got = ask(("GET /s.txt HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host).encode())
            check(status_of(got) == 403 and b"\r\n\r\nok" not in got, "%s, Host %r: %r" % (own, host, got[:80]), srv)
        got = ask(("GET /~furl/%s HTTP/1.1\r\nHost: evil.example:%d\r\nConnection: close\r\n\r\n"
                   % (outside, port)).encode())
        check(status_of(got) == 403 and b"local secret" not in got, "%s read a file: %r" % (own, got[:80]), srv)
        got = ask(("POST /s.txt HTTP/1.1\r\nHost: evil.example:%d\r\nOrigin: http://evil.example:%d\r\n"
                   "Content-Length: 2\r\nConnection: close\r\n\r\nab" % (port, port)).encode())
        check(status_of(got) == 403, "%s, rebound POST: %r" % (own, got[:80]), srv)
        # The machine's own names, and the address the client typed, are served.
        for host in ("%s:%d" % (own, port), "localhost:%d" % port, "127.0.0.1:%d" % port,
                     "%s:%d" % (socket.gethostname(), port)):
            got = ask(("GET /s.txt HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n\r\n" % host).encode())
            check(status_of(got) == 200 and got.endswith(b"\r\n\r\nok"), "%s, Host %r: %r" % (own, host, got[:80]),
                  srv)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def test_requests_from_other_origins_start_nothing():
    with e2e.TestBundle(BUILD) as b:
        php, runs = php_counting_runs(b)
        b.write_settings({"php": php})
        srv = b.start(["--port", b.port])
        port = srv.port
        cache = os.path.join(b.sample, "cache")
        before = sorted(os.listdir(cache))
        body = ("--BB\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x.svg\"\r\n"
                "Content-Type: image/svg+xml\r\n\r\n<svg onload=\"fetch('/~furl//etc/hostname')\"/>\r\n--BB--\r\n")
        foreign = ("http://evil.example", "null", "http://127.0.0.1:%d" % (port + 1), "https://127.0.0.1:%d" % port,
                   "http://localhost:%d" % port, "http://127.0.0.1:%d/" % port, "http://127.0.0.1:%d.evil" % port)
        for origin in foreign:
            for path in ("/form-upload.html", "/no-such-page.html", "/style.css"):
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
                r, data = get(conn, path, method="POST", body=body,
                              headers={"Origin": origin, "Content-Type": "multipart/form-data; boundary=BB"})
                check(r.status == 403, "%s from %s: %d %r" % (path, origin, r.status, data[:80]), srv)
                conn.close()
            check(ws_handshake(port, "127.0.0.1:%d" % port, origin) == 403, "WebSocket from %s" % origin)
        check(sorted(os.listdir(cache)) == before, "an upload was stored: %r" % os.listdir(cache), srv)
        check(not os.path.exists(runs), "PHP ran for a foreign origin", srv)

        # "null" is foreign also when the browser marks the fetch as coming
        # from another site or port.
        for site in ("cross-site", "same-site", "none"):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            r, data = get(conn, "/form-upload.html", method="POST", body=body,
                          headers={"Origin": "null", "Sec-Fetch-Site": site,
                                   "Content-Type": "multipart/form-data; boundary=BB"})
            check(r.status == 403, "null from %s: %d %r" % (site, r.status, data[:80]), srv)
            conn.close()
            check(ws_handshake(port, "127.0.0.1:%d" % port, "null", fetch_site=site) == 403, "WebSocket null " + site)
        check(sorted(os.listdir(cache)) == before, "an upload was stored: %r" % os.listdir(cache), srv)
        check(not os.path.exists(runs), "PHP ran for a foreign origin", srv)

        # The page's own origin (also "null" from a page that sends no
        # referrer, which the browser marks same-origin), and native clients
        # without Origin, are served.
        for headers in ({"Origin": "http://127.0.0.1:%d" % port}, {"Origin": "HTTP://127.0.0.1:%d" % port}, {},
                        {"Origin": "null", "Sec-Fetch-Site": "same-origin"}):
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
            r, data = get(conn, "/tools-echo.html", method="POST", body=body,
                          headers=dict(headers, **{"Content-Type": "multipart/form-data; boundary=BB"}))
            check(r.status == 200 and json.loads(data)["files"]["file"]["size"] > 0, "own origin: %r" % data[:200],
                  srv)
            conn.close()
        check(os.path.exists(runs), "PHP never ran")
        check(ws_handshake(port, "127.0.0.1:%d" % port, "http://127.0.0.1:%d" % port) == 101, "own origin WebSocket")
        check(ws_handshake(port, "localhost:%d" % port, "http://localhost:%d" % port) == 101, "localhost WebSocket")
        check(ws_handshake(port, "127.0.0.1:%d" % port) == 101, "WebSocket without Origin")
        check(ws_handshake(port, "127.0.0.1:%d" % port, "null", fetch_site="same-origin") == 101,
              "WebSocket of a page without referrer")
        check(ws_handshake(port, "127.0.0.1:%d" % port, "https://127.0.0.1:%d" % port, secure=True) == 101,
              "own origin over TLS")
        check(ws_handshake(port, "127.0.0.1:%d" % port, "http://127.0.0.1:%d" % port, secure=True) == 403,
              "plain origin over TLS")
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def test_paths_stay_in_their_folders():
    with e2e.TestBundle(BUILD) as b:
        fw = os.path.dirname(os.path.dirname(b.write_file("fw/js/app.js", "var app = 1;\n")))
        b.write_settings({"orvantphppath": fw})
        b.write_file("work/secret.txt", "next to the project")
        proj = make_project(b, {"s.txt": "ok", "sub/t.txt": "in sub", "a..b.txt": "dots"})
        b.write_file("work/site.bak", "backup of the project")
        b.write_file("work/siteX/secret.txt", "a folder named like the project")
        srv = b.start([proj + "/app.vexa"])
        port = srv.port
        # A target that begins with neither "/" nor a scheme would be glued to
        # the project folder's path.
        for target in (".bak", "X/secret.txt", "~furl//etc/passwd", "s.txt", "*", "%2fs.txt"):
            out = subprocess.run(["curl", "-s", "-o", "-", "-w", "\n%{http_code}", "--request-target", target,
                                  "http://127.0.0.1:%d/" % port], capture_output=True, text=True, timeout=20).stdout
            check(out.endswith("\n400") and "backup" not in out and "named like" not in out and "root:" not in out,
                  "target %r: %r" % (target, out), srv)
        got = raw_exchange(port, ("OPTIONS * HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n"
                                  % port).encode())
        check(status_of(got) == 405, "OPTIONS *: %r" % got[:80], srv)
        got = raw_exchange(port, ("GET http://127.0.0.1:%d/s.txt HTTP/1.1\r\nConnection: close\r\n\r\n"
                                  % port).encode())
        check(status_of(got) == 200 and got.endswith(b"\r\n\r\nok"), "absolute form: %r" % got[:80], srv)
        deep = "/.." * 12
        for path in (deep + "/etc/passwd", "/~rs" + deep + "/etc/passwd", "/../secret.txt", "/sub/../../secret.txt",
                     "/%2e%2e/secret.txt", "/.%2E/secret.txt", "/sub/..%2f..%2fsecret.txt", "/~rs/../site/s.txt",
                     "/../x.html", "/..", "/sub/.."):
            out = subprocess.run(["curl", "-s", "--path-as-is", "-o", "-", "-w", "\n%{http_code}",
                                  "http://127.0.0.1:%d%s" % (port, path)], capture_output=True, text=True,
                                 timeout=20).stdout
            check(out.endswith("\n404") and "root:" not in out and "next to" not in out, "%s: %r" % (path, out), srv)
        for path, want in (("/sub/t.txt", "in sub"), ("/~rs/js/app.js", "var app = 1;\n"), ("/a..b.txt", "dots"), ("/sub/../s.txt", None),
                           ("/~furl/" + b.path("work/secret.txt"), "next to the project"),
                           ("/~furl/" + proj + "/../secret.txt", "next to the project")):
            r, data = get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), path)
            check(r.status == (404 if want is None else 200) and (want is None or data == want.encode()),
                  "%s: %d %r" % (path, r.status, data), srv)
            if want is not None:  # no page of another origin may use a file
                check(r.getheader("X-Content-Type-Options") == "nosniff" and
                      r.getheader("Cross-Origin-Resource-Policy") == "same-origin", "%s: %r" % (path, r.headers))
        # Any local file is not for a fetch of another site or port, even one
        # the browser makes for a page on this machine.
        furl = "/~furl/" + b.path("work/secret.txt")
        for site, want in (("cross-site", None), ("same-site", None), ("same-origin", "next to the project"),
                           ("none", "next to the project")):
            for path in (furl, "/x" + furl):
                r, data = get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), path,
                              headers={"Sec-Fetch-Site": site})
                check(r.status == (404 if want is None else 200) and (want is None or data == want.encode()) and
                      (want is not None or b"next to" not in data), "%s from %s: %d %r" % (path, site, r.status, data),
                      srv)
        r, data = get(http.client.HTTPConnection("127.0.0.1", port, timeout=10), "/s.txt",
                      headers={"Sec-Fetch-Site": "cross-site"})
        check(r.status == 200 and data == b"ok", "a project file for another site: %d" % r.status, srv)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


def test_request_framing():
    with e2e.TestBundle(BUILD) as b:
        proj = make_project(b, {"s.txt": "ok"})
        srv = b.start([proj + "/app.vexa"])
        port = srv.port
        host = ("Host: 127.0.0.1:%d\r\n" % port).encode()
        smuggled = b"GET /s.txt HTTP/1.1\r\n" + host + b"\r\n"
        for coding in (b"xchunked", b"gzip", b"gzip, chunked", b"chunked, gzip", b"identity"):
            t0 = time.monotonic()
            got = raw_exchange(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Transfer-Encoding: " + coding +
                               b"\r\n\r\n" + smuggled, wait=10)
            check(status_of(got) == 501 and got.count(b"HTTP/1.1") == 1 and time.monotonic() - t0 < 5,
                  "%r: %r" % (coding, got), srv)
        for name, req in (("bare LF", b"Transfer-Encoding: chunked\r\n\r\n5\nhello\n0\n\n"),
                          ("bare LF after a good chunk", b"Transfer-Encoding: chunked\r\n\r\n2\r\nhi\r\n0\n\n"),
                          ("bare LF in the trailer", b"Transfer-Encoding: chunked\r\n\r\n0\r\nX: y\n\r\n"),
                          ("CR without LF", b"Transfer-Encoding: chunked\r\n\r\n5\rhello\r\n0\r\n\r\n"),
                          ("size not hex", b"Transfer-Encoding: chunked\r\n\r\n5g\r\nhello\r\n0\r\n\r\n"),
                          ("no size", b"Transfer-Encoding: chunked\r\n\r\n\r\nhello\r\n0\r\n\r\n")):
            t0 = time.monotonic()
            got = raw_exchange(port, b"POST /s.txt HTTP/1.1\r\n" + host + req, wait=10)
            check(status_of(got) == 400 and time.monotonic() - t0 < 5, "%s: %r" % (name, got), srv)
        got = raw_exchange(port, b"GET /s.txt HTTP/1.1\r\nConnection: close\r\n\r\n")
        check(status_of(got) == 400, "HTTP/1.1 without Host: %r" % got[:80])
        for target in (b"/s.txt", b"http://127.0.0.1:%d/s.txt" % port):
            for hosts in (b"Host: 127.0.0.1:%d\r\nHost: evil.example\r\n" % port, host + host):
                got = raw_exchange(port, b"GET " + target + b" HTTP/1.1\r\n" + hosts + b"\r\n")
                check(status_of(got) == 400, "two Hosts, %r: %r" % (target, got[:80]), srv)
        # Good framing is served, every request on one connection.
        got = raw_exchange(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Transfer-Encoding: Chunked\r\n\r\n"
                           b"3;ext=1\r\nabc\r\n0\r\nX-Trailer: t\r\n\r\n" + smuggled + b"GET /s.txt HTTP/1.1\r\n" +
                           host + b"Connection: close\r\n\r\n")
        check(got.count(b"HTTP/1.1 200 OK") == 3, "good chunked body: %r" % got)
        code, _ = srv.stop()
        check(code == 0, "clean stop", srv)


class BodySender:
    """One connection that sends a request header, then its body at a pace
    of its own on a thread: `rate` bytes per second (in pieces of `piece`),
    or, once `fast` bytes went out at once, one byte every `every` seconds.
    Records when the server closed the connection and what it answered."""

    def __init__(self, port, header, total, fast=0, rate=None, piece=16384, every=5.0, limit=None):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.sock.sendall(header)
        self.got = b""
        self.closed_after = None
        self.sent = 0
        self.t0 = time.monotonic()
        limit = limit or 90 * e2e.SLOW

        def run():
            try:
                if fast:
                    self.sock.sendall(b"f" * fast)
                    self.sent = fast
                due = time.monotonic()
                while self.sent < total and time.monotonic() - self.t0 < limit:
                    n = min(piece, total - self.sent) if rate else 1
                    self.sock.sendall(b"x" * n)
                    self.sent += n
                    due += n / rate if rate else every
                    # Paces the sender; a reply or a close ends the wait.
                    self.sock.settimeout(max(0.0, due - time.monotonic()) or 0.001)
                    try:
                        chunk = self.sock.recv(65536)
                        self.got += chunk
                        if not chunk or self.got.startswith(b"HTTP/1.1 4") or self.got.startswith(b"HTTP/1.1 5"):
                            break
                    except socket.timeout:
                        pass
                self.sock.settimeout(limit)
                while True:
                    chunk = self.sock.recv(65536)
                    if not chunk:
                        break
                    self.got += chunk
            except OSError:
                pass
            self.closed_after = time.monotonic() - self.t0

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()

    def join(self, timeout):
        self.thread.join(timeout)
        self.sock.close()
        return self.closed_after


def test_bodies_only_announced_hold_nothing_and_must_keep_moving():
    # 16 uploads announcing 64 MiB each (the whole 1 GiB that bodies may hold
    # together) and sending one byte take neither that memory nor that share
    # of the budget: other bodies are served beside them. A body is charged
    # as it arrives, and one that stops moving is closed within two 10 s
    # spans, while an honest 128 KiB/s upload is served.
    with e2e.TestBundle(BUILD) as b:
        proj = make_project(b, {"s.txt": "ok"})
        srv = b.start([proj + "/app.vexa"])
        port = srv.port
        host = ("Host: 127.0.0.1:%d\r\n" % port).encode()

        def read_until(s, end):
            got = b""
            while not got.endswith(end):
                chunk = s.recv(100)
                check(chunk, "closed after %r" % got, srv)
                got += chunk
            return got

        # Each holder's connection first serves a request, so that its thread
        # (and its stack) is there before the memory is measured.
        holders = []
        for _ in range(16):
            s = socket.create_connection(("127.0.0.1", port), timeout=10)
            holders.append(s)
            s.sendall(b"GET /s.txt HTTP/1.1\r\n" + host + b"\r\n")
            got = read_until(s, b"\r\n\r\nok")
            check(status_of(got) == 200, got)
        # What the server has mapped for data counts memory reserved and never
        # touched too, which the resident size does not.
        before = e2e.memory_mib(srv.pid, "VmData")
        rss0 = e2e.memory_mib(srv.pid, "VmRSS")
        announced = b"POST /s.txt HTTP/1.1\r\n" + host + b"Content-Length: %d\r\n" % (64 << 20)
        for s in holders:
            s.sendall(announced + b"Expect: 100-continue\r\n\r\n")
            got = read_until(s, b"\r\n\r\n")
            check(got.startswith(b"HTTP/1.1 100 Continue"), got)
            s.sendall(b"a")
        # Each body began when its "100 Continue" came: a length it announced
        # would have been reserved by then.
        data = e2e.memory_mib(srv.pid, "VmData") - before
        rss = e2e.memory_mib(srv.pid, "VmRSS") - rss0
        print("server memory with 16 bodies announcing 64 MiB: %+.0f MiB mapped for data, %+.0f MiB resident"
              % (data, rss))
        # Reserving what they announce maps 1 GiB; threads and buffers, under
        # a sanitizer too, map a small part of it.
        check(data < (16 * 64) / 4, "16 bodies that sent one byte each map %.0f MiB" % data, srv)
        # Honest bodies beside them: a form post, a chunked one, and a steady
        # upload of 2.5 MiB at 128 KiB/s that lasts two spans.
        got = raw_exchange(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Content-Type: application/x-www-form-urlencoded"
                           b"\r\nContent-Length: 20\r\nConnection: close\r\n\r\n" + b"a=1&b=2&c=3&d=4&e=55")
        check(status_of(got) == 200 and got.endswith(b"ok"), "a form post beside announced bodies: %r" % got[:80], srv)
        got = raw_exchange(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n"
                           b"Connection: close\r\n\r\n2\r\nab\r\n0\r\n\r\n")
        check(status_of(got) == 200, "a chunked post beside announced bodies: %r" % got[:80], srv)
        steady_total = 5 << 19
        steady = BodySender(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Connection: close\r\n"
                            b"Content-Length: %d\r\n\r\n" % steady_total, steady_total, rate=128 * 1024)
        # Trickles: most of a 16 MiB body and then a byte every 5 s, and a
        # chunked body sending a byte every 5 s.
        most = BodySender(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Content-Length: %d\r\n\r\n" % (16 << 20),
                          16 << 20, fast=(16 << 20) - 4096)
        chunked = BodySender(port, b"POST /s.txt HTTP/1.1\r\n" + host + b"Transfer-Encoding: chunked\r\n\r\n"
                             b"100000\r\n", 1 << 20)
        try:
            # The 16 announced bodies send nothing more: each is closed, told so.
            t0 = time.monotonic()
            for s in holders:
                s.settimeout(60 * e2e.SLOW)
                got = b""
                try:
                    while True:
                        chunk = s.recv(4096)
                        if not chunk:
                            break
                        got += chunk
                except OSError:
                    pass
                check(status_of(got) == 408, "a stalled body: %r" % got[:80], srv)
            stalled = time.monotonic() - t0
            for name, sender in (("most of a body, then a byte every 5 s", most), ("a chunked trickle", chunked)):
                took = sender.join(90 * e2e.SLOW)
                check(took is not None and took < 60 * e2e.SLOW and status_of(sender.got) == 408,
                      "%s: closed after %r s, %r" % (name, took, sender.got[:80]), srv)
            took = steady.join(90 * e2e.SLOW)
            check(steady.sent == steady_total and status_of(steady.got) == 200 and steady.got.endswith(b"ok"),
                  "the 128 KiB/s upload: %d of %d bytes sent, %r" % (steady.sent, steady_total, steady.got[:80]), srv)
            print("stalled bodies closed after %.1f s; the trickles after %.1f and %.1f s; the 128 KiB/s upload "
                  "took %.1f s" % (stalled, most.closed_after, chunked.closed_after, took))
        finally:
            for s in holders:
                s.close()
        print("server memory after: %.0f MiB resident" % e2e.memory_mib(srv.pid, "VmRSS"))
        # Counted once the server has ended: a client can see its 408 before
        # the server's line about it has been read here.
        code, out = srv.stop()
        check(code == 0, "clean stop", srv)
        lines = [line for line in out.splitlines() if "Request body too slow" in line]
        check(len(lines) == 18, "one console line per closed body: %d\n%s" % (len(lines), "\n".join(lines)), srv)


GROUPS = {
    "files": [test_static_files_on_one_keep_alive_connection],
    "phar": [test_phar_files_streamed_as_chunks,
             test_phar_without_php_is_an_error_not_an_empty_success,
             test_phar_child_streams_and_error_lines, test_phar_reads_count_against_the_process_bound],
    "tls": [test_http_and_https_on_one_port, test_secure_one_refuses_plain_clients,
            test_request_limits],
    "security": [test_host_field_must_name_this_machine, test_host_rule_holds_for_this_machines_own_address,
                 test_requests_from_other_origins_start_nothing,
                 test_paths_stay_in_their_folders, test_request_framing],
    "bodies": [test_bodies_only_announced_hold_nothing_and_must_keep_moving],
}

if __name__ == "__main__":
    group = None
    if "--group" in sys.argv:
        group = sys.argv[sys.argv.index("--group") + 1]
    funcs = GROUPS[group] if group else [f for g in GROUPS.values() for f in g]
    sys.exit(e2e.run_tests(funcs))
