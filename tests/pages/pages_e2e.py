"""End-to-end tests of application pages: the real vexaserver, real PHP and
the bundled sample project, driven by real HTTP clients (http.client, raw
sockets for wire-level checks, TLS through ssl).

    python3 pages_e2e.py --build BUILD --group basic|forms|stream|phar|https|load
"""

import calendar
import concurrent.futures
import hashlib
import http.client
import json
import os
import pathlib
import re
import socket
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
import urllib.request

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
import vexa_e2e as e2e  # noqa: E402


def check(cond, what):
    if not cond:
        raise AssertionError(what)


def eq(got, want, what=""):
    if got != want:
        raise AssertionError("%s: got %r, want %r" % (what, got, want))


class Reply:
    def __init__(self):
        self.status = None
        self.headers = []      # (name, value) as sent
        self.chunks = []       # body chunks in order
        self.times = []        # arrival time of each chunk
        self.end_time = None
        self.body = b""

    def header(self, name):
        vals = [v for n, v in self.headers if n.lower() == name.lower()]
        return vals[0] if vals else None

    def all(self, name):
        return [v for n, v in self.headers if n.lower() == name.lower()]


class RawClient:
    """One connection; sends bytes as given and reads replies exactly."""

    def __init__(self, port, tls_ctx=None, timeout=20 * e2e.SLOW):
        self.timeout = timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        if tls_ctx is not None:
            self.sock = tls_ctx.wrap_socket(self.sock, server_hostname="localhost")
        self.buf = b""

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, data):
        self.sock.sendall(data if isinstance(data, bytes) else data.encode())

    def _fill(self):
        d = self.sock.recv(65536)
        if not d:
            raise EOFError("connection closed")
        self.buf += d

    def _until(self, sep):
        while sep not in self.buf:
            self._fill()
        head, self.buf = self.buf.split(sep, 1)
        return head

    def _exact(self, n):
        while len(self.buf) < n:
            self._fill()
        out, self.buf = self.buf[:n], self.buf[n:]
        return out

    def head(self):
        """The status and header fields of the next reply."""
        r = Reply()
        head = self._until(b"\r\n\r\n").decode("latin-1").split("\r\n")
        r.status = int(head[0].split(" ")[1])
        for line in head[1:]:
            n, v = line.split(":", 1)
            r.headers.append((n, v.strip()))
        return r

    def chunk(self, r):
        """The next chunk of a chunked reply into r; False at its end."""
        size = int(self._until(b"\r\n"), 16)
        if size == 0:
            eq(self._exact(2), b"\r\n", "end of the last chunk")
            r.end_time = time.monotonic()
            r.body = b"".join(r.chunks)
            return False
        r.chunks.append(self._exact(size))
        r.times.append(time.monotonic())
        eq(self._exact(2), b"\r\n", "end of a chunk")
        return True

    def ended_already(self):
        """Whether the end of the chunked reply being read has arrived: what
        has come so far is read without waiting."""
        self.sock.setblocking(False)
        try:
            while True:
                d = self.sock.recv(65536)
                if not d:
                    break
                self.buf += d
        except BlockingIOError:
            pass
        finally:
            self.sock.settimeout(self.timeout)
        return b"0\r\n\r\n" in self.buf

    def reply(self):
        r = self.head()
        if (r.header("Transfer-Encoding") or "").lower() == "chunked":
            while self.chunk(r):
                pass
        else:
            r.body = self._exact(int(r.header("Content-Length") or 0))
            r.end_time = time.monotonic()
        return r


def request(port, path, method="GET", headers=(), body=b"", tls_ctx=None):
    lines = ["%s %s HTTP/1.1" % (method, path), "Host: 127.0.0.1:%d" % port]
    lines += ["%s: %s" % h for h in headers]
    if body or method == "POST":
        lines.append("Content-Length: %d" % len(body))
    raw = ("\r\n".join(lines) + "\r\n\r\n").encode() + body
    with RawClient(port, tls_ctx) as c:
        c.send(raw)
        return c.reply()


def echo(port, path="/tools-echo.html", **kw):
    r = request(port, path, **kw)
    eq(r.status, 200, "status of " + path)
    return r, json.loads(r.body)


def multipart(fields, boundary="----pagesE2EbOuNdArY"):
    out = b""
    for name, value, filename in fields:
        disp = 'form-data; name="%s"' % name
        if filename is not None:
            disp += '; filename="%s"' % filename
        out += b"--" + boundary.encode() + b"\r\nContent-Disposition: " + disp.encode("utf-8") + b"\r\n"
        if filename is not None:
            out += b"Content-Type: application/octet-stream\r\n"
        out += b"\r\n" + value + b"\r\n"
    out += b"--" + boundary.encode() + b"--\r\n"
    return out, "multipart/form-data; boundary=" + boundary


def http_date(days):
    t = (days - 25569) * 86400
    return time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(t))


# ---------------------------------------------------------------- basic ----

def group_basic(b, srv):
    port = srv.port

    def test_index_page_runs_in_php():
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
        c.request("GET", "/")
        r = c.getresponse()
        body = r.read().decode()
        eq(r.status, 200, "status")
        eq(r.getheader("Transfer-Encoding"), "chunked", "transfer coding")
        eq(r.getheader("Content-Type"), "text/html; charset=UTF-8", "content type")
        eq(r.getheader("Server"), "OrvantPHP", "server header")
        check("<h1>Sample project</h1>" in body, body)
        check("<td>http://127.0.0.1:%d</td>" % port in body, body)
        c.close()

    def test_request_description_as_sent():
        r, d = echo(port, "/tools-echo-a-b-c.html?q=1&r=%20", headers=[
            ("x-Custom-NAME", "  spaced  "), ("Accept", "*/*"), ("X-A", "1"), ("X_A", "2")])
        eq((d["ctrl"], d["evt"], d["evtp"]), ("tools", "echo", "abc"), "routing words")
        info = d["info"]
        eq(info["Method"], "GET", "method")
        eq(info["URL"], "http://127.0.0.1:%d?q=1&r=%%20" % port, "URL")
        server = info["Server"]
        eq(list(server), ["HTTP_Host", "HTTP_x_Custom_NAME", "HTTP_Accept", "HTTP_X_A", "HTTPS", "REMOTE_ADDR",
                          "REMOTE_PORT", "HTTP_HOST", "PHP_SELF", "SCRIPT_NAME", "SCRIPT_FILENAME"], "members")
        eq(server["HTTP_x_Custom_NAME"], "spaced", "trimmed value")
        eq(server["HTTP_X_A"], "2", "repeated name")
        eq((server["HTTPS"], server["REMOTE_ADDR"], server["REMOTE_PORT"]), ("0", "127.0.0.1", ""), "peer")
        eq(server["PHP_SELF"], "/tools-echo-a-b-c.html", "PHP_SELF")
        eq(server["SCRIPT_FILENAME"], b.sample + "/start.php", "script")
        eq(info["Header"], {"vexa": "4"}, "Header")
        eq(d["sargv"].get("--port"), str(port), "sargv")
        eq(d["post"], {}, "postdata of a GET")
        eq(d["droot"], b.sample, "document root")

    def test_lower_case_host_gives_empty_idata():
        with RawClient(port) as c:
            c.send("GET /tools-echo.html HTTP/1.1\r\nhost: 127.0.0.1\r\n\r\n")
            r = c.reply()
        eq(json.loads(r.body)["info"], [], "idata")
        srv.wait_for("Error: Error:- Cant create Vexa Info Data. ")

    def test_cookies_and_headers_applied_exactly():
        r = request(port, "/cookies.html", headers=[("Cookie", "visits=4; other=x y")])
        eq(r.header("Server"), "OrvantPHP", "server")
        eq(r.header("Content-Type"), "text/html; charset=UTF-8", "content type")
        eq(r.header("X-Sample-Page"), "cookies", "extra header")
        eq(r.header("Cache-Control"), "no-store", "cache header")
        days = 25569 + int(time.time()) // 86400 + 7
        cookies = r.all("Set-Cookie")
        check(cookies in (["visits=5; Expires=%s; Path=/; HttpOnly" % http_date(d), "theme=light; Path=/"]
                          for d in (days, days + 1)), "Set-Cookie: %r" % cookies)
        check(b"This is visit number 5." in r.body, r.body)
        check(b"<th>other</th><td>x y</td>" in r.body, r.body)
        r = request(port, "/cookies.html?clear")
        check(r.all("Set-Cookie")[0].startswith("visits=; Expires=%s" % http_date(days - 8)[:5]), r.headers)

    def test_content_type_choices_for_plain_output():
        r = request(port, "/tools-plain.html")
        eq(r.header("Content-Type"), "text/html;charset=UTF-8", "plain")
        eq(r.body, b"plain text from PHP", "plain body")
        r = request(port, "/tools-plain.html", headers=[("X-Requested-With", "XMLHttpRequest"),
                                                        ("Accept", "application/json, text/javascript, */*; q=0.01")])
        eq(r.header("Content-Type"), "text/json;charset=UTF-8", "ajax json")
        eq(r.body, b"plain text from PHP\r\n", "ajax body")
        r = request(port, "/tools-plain.html", headers=[("X-Requested-With", "XMLHttpRequest")])
        eq(r.header("Content-Type"), "text/html;charset=UTF-8", "ajax without Accept")
        r = request(port, "/tools-plain.html", "POST", [("Content-Type", "application/json")], b'{"a":1}')
        eq(r.header("Content-Type"), "text/plain;charset=UTF-8", "json request")
        eq(r.body, b"plain text from PHP", "json request body")

    def test_items_are_sent_with_their_comma():
        r = request(port, "/tools-items.html")
        eq(len(r.chunks), 2, "chunks")
        for i, c in enumerate(r.chunks, 1):
            check(c.endswith(b",") and json.loads(c[:-1])["n"] == i, c)

    def test_standard_error_line_comes_first():
        r = request(port, "/stderr.html")
        eq(r.header("Content-Type"), "text/html;charset=UTF-8", "content type chosen by the error line")
        eq(r.header("Server"), None, "envelope headers came too late")
        eq(r.chunks[0], b"ReqHand:- Process Error(RX):- stderr page: this line was written to standard error\r\n",
           "first chunk")
        check(b"<h1>Standard error</h1>" in r.body, r.body)

    def test_silent_application_gives_empty_chunked_reply():
        with RawClient(port) as c:
            c.send("GET /tools-silent.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            head = c._until(b"\r\n\r\n")
            check(b"Transfer-Encoding: chunked" in head, head)
            eq(c._exact(5), b"0\r\n\r\n", "only the end marker")

    def test_keep_alive_after_chunked_reply():
        with RawClient(port) as c:
            for path in ("/tools-plain.html", "/", "/style.css", "/tools-silent.html", "/stream-x.html"):
                c.send("GET %s HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" % path)
                r = c.reply()
                eq(r.status, 200, path)
            check(b"</html>" in r.body, r.body)

    return [test_index_page_runs_in_php, test_request_description_as_sent, test_lower_case_host_gives_empty_idata,
            test_cookies_and_headers_applied_exactly, test_content_type_choices_for_plain_output,
            test_items_are_sent_with_their_comma, test_standard_error_line_comes_first,
            test_silent_application_gives_empty_chunked_reply, test_keep_alive_after_chunked_reply]


# ---------------------------------------------------------------- forms ----

# An uploaded page whose script reads a local file through "~furl/" (the
# path replaces LOCAL_FILE) and shows what it got in the page's title.
UPLOADED_PAGE = ("<!doctype html><title>upload</title><script>window.ran = true;"
                 "fetch('/~furl/' + 'LOCAL_FILE').then(r => r.ok ? r.text() : 'refused ' + r.status)"
                 ".then(t => { document.title = 'read:' + t; }, e => { document.title = 'refused'; });"
                 "</script><p>uploaded</p>")

def group_forms(b, srv):
    port = srv.port
    cache = os.path.join(b.sample, "cache")

    def test_post_url_encoded_kept_as_sent():
        body = "name=J%C3%B6rg+M&msg=a%26b&flag&x=1&x=2".encode()
        r, d = echo(port, "/tools-echo.html", method="POST",
                    headers=[("Content-Type", "application/x-www-form-urlencoded")], body=body)
        eq(d["post"], {"name": "J%C3%B6rg+M", "msg": "a%26b", "": "flag", "x": "2"}, "fields")
        # urllib, as a browser would send the form
        data = urllib.parse.urlencode({"name": "Jörg", "message": "Hello & welcome"}).encode()
        with urllib.request.urlopen("http://127.0.0.1:%d/form-submit.html" % port, data, timeout=20) as resp:
            page = resp.read().decode()
        check("<th>name</th><td>J%C3%B6rg</td>" in page, page)
        check("<th>message</th><td>Hello+%26+welcome</td>" in page, page)

    def test_post_multipart_text_binary_and_hostile_names():
        blob = os.urandom(150000) + b"\r\n------pagesE2EbOuNdAr\r\n\r\n" + os.urandom(1000)
        body, ctype = multipart([
            ("title", "Grüße ✓".encode(), None),
            ("doc", blob, "blob.bin"),
            ("evil", b"hostile bytes", "../../x"),
            ("evil2", b"more", "..\\..\\y.txt"),
            ("dots", b"never", ".."),
            ("after", b"still here", None),
            # Names far too long for a file, with terminal escapes past the
            # first 300 bytes: console lines quote them cut short.
            ("longdots", b"never", "L" * 400 + "\x1b]0;pwned\x07" + "L" * 100000 + "/.."),
            ("toolong", b"never", "N" * 400 + "\x1b[2J" + "N" * 100000),
        ])
        r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
        post = d["post"]
        eq(post["title"], "Grüße ✓", "UTF-8 text field")
        eq(post["doc"], cache + "/blob.bin", "saved path")
        eq(d["files"]["doc"], {"size": len(blob), "md5": hashlib.md5(blob).hexdigest()}, "file as PHP sees it")
        with open(os.path.join(cache, "blob.bin"), "rb") as f:
            check(f.read() == blob, "saved bytes differ")
        eq(post["evil"], cache + "/x", "hostile name reduced to its last component")
        eq(post["evil2"], cache + "/y.txt", "backslash path reduced")
        with open(os.path.join(cache, "x"), "rb") as f:
            eq(f.read(), b"hostile bytes", "hostile content")
        check("dots" not in post, "a file named .. is refused")
        eq(post["after"], "still here", "fields after a refused file")
        res = os.path.dirname(b.sample)
        for p in (os.path.join(res, "x"), os.path.join(os.path.dirname(res), "x"), os.path.join(res, "y.txt")):
            check(not os.path.exists(p), "written outside the cache: " + p)
        srv.wait_for('Parse Form Data Error:- Refused upload file name ".."')
        for start in ('Refused upload file name "LLL', "Cannot create file %s/NNN" % cache):
            line = srv.wait_for(start)
            check(len(line) < len(cache) + 400 and "\x1b" not in line, "%d bytes: %r" % (len(line), line[:400]))
        check("longdots" not in post and "toolong" not in post, "names too long were stored")
        check(not [n for n in os.listdir(cache) if n.startswith(".upload-")], "temporary files left")

    def test_upload_form_page():
        body, ctype = multipart([("title", "Grüße".encode(), None), ("file", b"0123456789", "ten.txt")])
        r = request(port, "/form-upload.html", "POST", [("Content-Type", ctype)], body)
        check(b"ten.txt, 10 bytes, md5 781e5e245d69b566979b86e28d23f2c7" in r.body, r.body)
        check("<th>title</th><td>Grüße</td>".encode() in r.body, r.body)

    def test_field_too_large_for_environment_gets_413():
        body = b"text=" + b"t" * (70 * 1024)
        r = request(port, "/tools-echo.html", "POST", [("Content-Type", "application/x-www-form-urlencoded")], body)
        eq(r.status, 413, "status")
        check(b"cdata" in r.body and b"131072" in r.body, r.body)
        srv.wait_for("Request too large for the application: the request's cdata data")

    def test_body_over_the_server_limit_gets_413():
        with RawClient(port) as c:
            c.send("POST /tools-echo.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                   "Content-Length: %d\r\n\r\n" % (200 * 1024 * 1024))
            c.send(b"a" * 65536)
            eq(c.reply().status, 413, "status")

    def test_uploads_of_one_name_at_once_are_both_kept():
        # Two clients uploading report.txt at the same moment each get a file
        # of their own, and each page reads its own client's bytes.
        for round_ in range(5):
            barrier = threading.Barrier(2)

            def one(i):
                data = ("client %d of round %d\n" % (i, round_)).encode() * (1000 + 500 * i)
                body, ctype = multipart([("f", data, "report.txt")])
                barrier.wait(10)
                r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
                return data, d

            with concurrent.futures.ThreadPoolExecutor(2) as pool:
                results = list(pool.map(one, range(2)))
            paths = [d["post"]["f"] for _, d in results]
            check(len(set(paths)) == 2, "round %d: one file for two uploads: %r" % (round_, paths))
            for data, d in results:
                eq(d["files"]["f"], {"size": len(data), "md5": hashlib.md5(data).hexdigest()},
                   "round %d: the page read another client's file" % round_)
                check(os.path.dirname(d["post"]["f"]) == cache and
                      re.fullmatch(r"report(-\d+)?\.txt", os.path.basename(d["post"]["f"])), d["post"]["f"])
                with open(d["post"]["f"], "rb") as f:
                    check(f.read() == data, "round %d: replaced on disk: %s" % (round_, d["post"]["f"]))

    def test_uploaded_files_are_inert():
        # An uploaded page is shown, but never as a page of the server's own
        # origin, by whatever path it is reached; in a browser its script
        # cannot read a local file through "~furl/".
        script = UPLOADED_PAGE
        body, ctype = multipart([("f", script.encode(), "evil.htm")])
        r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
        stored = d["post"]["f"]
        name = os.path.basename(stored)
        phar = os.path.join(cache, "made.phar")
        subprocess.run(["php", "-d", "phar.readonly=0", "-r",
                        "$p = new Phar($argv[1]); $p->addFromString('x.htm', $argv[2]); "
                        "$p->setStub('<?php __HALT_COMPILER();');", phar, script], check=True, timeout=30)
        with open(phar, "rb") as f:
            body, ctype = multipart([("p", f.read(), "evil.phar")])
        os.unlink(phar)
        r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
        archive = os.path.basename(d["post"]["p"])
        for path in ("/cache/" + name, "//cache/" + name, "/cache/./" + name, "/cache//" + name,
                     "/~furl/" + stored, "/x/~furl/" + cache + "/../cache/" + name, "/cache/%s/x.htm" % archive):
            r = request(port, path, headers=[("Connection", "close")])
            eq(r.status, 200, "status of " + path)
            eq(r.header("Content-Security-Policy"), "sandbox", "policy of " + path)
            check(b"uploaded" in r.body, "the file is still shown: " + path)
        with open(os.path.join(b.sample, "plain-e2e.htm"), "w") as f:
            f.write(script)
        r = request(port, "/plain-e2e.htm", headers=[("Connection", "close")])
        check(r.status == 200 and r.header("Content-Security-Policy") is None, "a file of the project is sandboxed")

    def test_uploaded_page_cannot_read_local_files_in_chromium():
        sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "wsapps"))
        from browser_e2e import find_chromium, run_in_page  # noqa: E402
        exe = find_chromium()
        if not exe:
            raise e2e.Skip("no Chromium installed (scripts/setup installs it)")
        try:
            import websockets  # noqa: F401  (drives the browser)
        except ImportError:
            raise e2e.Skip("no websockets module for this Python (scripts/setup installs python3-websockets)")
        secret_file = os.path.join(b.root, "secret-note.txt")
        with open(secret_file, "w") as f:
            f.write("local secret")
        page_script = UPLOADED_PAGE.replace("LOCAL_FILE", secret_file)
        body, ctype = multipart([("f", page_script.encode(), "read.htm")])
        r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
        seen = {}

        async def steps(page):
            await page.wait_text("document.readyState", lambda v: v == "complete", timeout=30)
            seen["ran"] = await page.eval("window.ran === true")
            if seen["ran"]:  # a script that runs must have been refused the file
                seen["title"] = await page.wait_text("document.title", lambda v: v != "upload", timeout=30)
            seen["text"] = await page.eval("document.body && document.body.innerText")

        run_in_page(exe, "http://127.0.0.1:%d/cache/%s" % (port, os.path.basename(d["post"]["f"])), steps)
        print("uploaded page in Chromium: %r" % seen)
        check("local secret" not in str(seen.get("title")), "the uploaded page read a local file: %r" % seen)
        check(not seen["ran"] or not str(seen.get("title")).startswith("read:"), "read: %r" % seen)
        check("uploaded" in str(seen.get("text")), "the uploaded page is not shown: %r" % seen)

    return [test_post_url_encoded_kept_as_sent, test_post_multipart_text_binary_and_hostile_names,
            test_upload_form_page, test_field_too_large_for_environment_gets_413,
            test_body_over_the_server_limit_gets_413, test_uploads_of_one_name_at_once_are_both_kept,
            test_uploaded_files_are_inert, test_uploaded_page_cannot_read_local_files_in_chromium]


# --------------------------------------------------------------- stream ----

def install_fixture(b, name):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", name)) as f:
        b.write_file(os.path.join(b.sample, "pages", name), f.read())


pid_alive = e2e.pid_alive


def group_stream(b, srv):
    port = srv.port
    install_fixture(b, "cookieerr.php")
    install_fixture(b, "forever.php")
    install_fixture(b, "silent.php")

    def test_first_part_arrives_while_the_page_runs():
        # The page pauses 0.8 s before each of its four parts: its first part
        # comes long before its end.
        t0 = time.monotonic()
        with RawClient(port) as c:
            c.send("GET /stream.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            r = c.head()
            eq(r.status, 200, "status")
            check(c.chunk(r), "no first part")
            check(not c.ended_already(), "the first part came with the reply's end")
            while c.chunk(r):
                pass
        check(len(r.chunks) >= 6, "parts: %d" % len(r.chunks))
        end = r.end_time - t0
        check(end >= 3.0, "the page pauses 3.2 s, ended after %.2f s" % end)
        check(b"part 4 of 4" in r.body, r.body)

    def test_other_requests_are_served_meanwhile():
        # The index is served whole while the stream page, begun first, still
        # runs (it pauses 3.2 s after its first part).
        with RawClient(port) as c:
            c.send("GET /stream.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
            slow = c.head()
            check(c.chunk(slow), "no first part")
            fast = request(port, "/")
            eq(fast.status, 200, "index")
            check(not c.ended_already(), "the index waited for the stream")
            while c.chunk(slow):
                pass
        eq(slow.status, 200, "stream")
        check(b"part 4 of 4" in slow.body, slow.body)

    def test_error_line_right_after_the_first_envelope_keeps_its_cookie():
        # The envelope was written (and flushed) before the error line: its
        # header and cookie always lead the reply.
        def one(i):
            r = request(port, "/cookieerr-%d.html" % i)
            return r.all("Set-Cookie"), r.chunks

        with concurrent.futures.ThreadPoolExecutor(8) as pool:
            results = list(pool.map(one, range(200)))
        lost = [i for i, (cookies, _) in enumerate(results) if cookies != ["flag=set; Path=/; HttpOnly"]]
        check(not lost, "Set-Cookie missing in %d of 200 replies, first: %r" % (len(lost), results[lost[0]] if lost else None))
        for cookies, chunks in results:
            eq(chunks, [b"<p>first part</p>",
                        b"ReqHand:- Process Error(RX):- warning right after the first envelope\r\n"], "chunks")

    def test_abandoned_page_is_stopped():
        line = "Page /forever.html stopped: its client left"
        before = srv.output().count(line)
        c = RawClient(port)
        c.send("GET /forever.html HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        head = c._until(b"\r\n\r\n")
        check(b"Transfer-Encoding: chunked" in head, head)
        size = int(c._until(b"\r\n"), 16)
        pid = int(c._exact(size).split()[1])
        check(pid_alive(pid), "the page runs")
        c.close()
        left = time.monotonic()
        while pid_alive(pid):  # within about a second; the page would run a minute
            check(time.monotonic() - left < 30, "the page's process %d still runs" % pid)
            time.sleep(0.02)
        srv.wait_for(line)
        eq(request(port, "/").status, 200, "index")  # the server goes on; any late line is out by now
        eq(srv.output().count(line), before + 1, "console lines")

    def test_page_that_writes_nothing_stops_when_its_client_leaves():
        line = "Page /silent.html stopped: its client left"
        pid_file = os.path.join(b.sample, "cache", "silent.pid")
        if os.path.exists(pid_file):
            os.unlink(pid_file)
        before = srv.output().count(line)
        c = RawClient(port)
        c.send("GET /silent.html?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")
        end = time.monotonic() + 20 * e2e.SLOW
        while not os.path.exists(pid_file):
            check(time.monotonic() < end, "the page did not start")
            time.sleep(0.02)
        with open(pid_file) as f:
            pid = int(f.read())
        check(pid_alive(pid), "the page runs")
        c.close()
        left = time.monotonic()
        while pid_alive(pid):  # within about a second; the page would sleep a minute
            check(time.monotonic() - left < 30, "the silent page's process %d still runs" % pid)
            time.sleep(0.02)
        srv.wait_for(line)
        eq(request(port, "/").status, 200, "index")  # the server goes on; any late line is out by now
        eq(srv.output().count(line), before + 1, "console lines")
        check("Broken pipe" not in srv.output(), srv.output())

    return [test_first_part_arrives_while_the_page_runs, test_other_requests_are_served_meanwhile,
            test_error_line_right_after_the_first_envelope_keeps_its_cookie, test_abandoned_page_is_stopped,
            test_page_that_writes_nothing_stops_when_its_client_leaves]


# ----------------------------------------------------------------- phar ----

def build_phar(b):
    folder = os.path.join(os.path.dirname(b.root), "pharproj")
    os.makedirs(os.path.join(folder, "cache"), exist_ok=True)
    phar = os.path.join(folder, "app.phar")
    code = ("$p = new Phar($argv[1]); $p->buildFromDirectory($argv[2], '/\\.(php|vexa|css)$/');"
            "$p->setStub($p->createDefaultStub('start.php'));")
    subprocess.run(["php", "-d", "phar.readonly=0", "-r", code, phar, b.sample], check=True, timeout=60)
    return phar


def group_phar(b, srv):
    port = srv.port
    phar = b.phar

    def test_phar_project_pages():
        r, d = echo(port, "/tools-echo-x.html")
        eq(d["droot"], "phar://" + phar, "document root")
        eq(d["projdir"], os.path.dirname(phar), "project folder")
        eq(d["info"]["Server"]["SCRIPT_NAME"], phar + "/start.php", "script name")
        r = request(port, "/")
        check(b"<h1>Sample project</h1>" in r.body, r.body)

    def test_phar_project_upload_goes_next_to_the_archive():
        body, ctype = multipart([("f", b"in phar", "p.txt")])
        r, d = echo(port, "/tools-echo.html", method="POST", headers=[("Content-Type", ctype)], body=body)
        eq(d["post"]["f"], os.path.join(os.path.dirname(phar), "cache", "p.txt"), "saved path")
        eq(d["files"]["f"]["size"], 7, "saved size")

    return [test_phar_project_pages, test_phar_project_upload_goes_next_to_the_archive]


# ---------------------------------------------------------------- https ----

def group_https(b, srv):
    port = srv.port
    ctx = ssl.create_default_context(cafile=os.path.join(b.conf, "RootCA.pem"))

    def test_pages_over_tls():
        r, d = echo(port, "/tools-echo.html?s=1", tls_ctx=ctx)
        eq(d["info"]["URL"], "https://127.0.0.1:%d?s=1" % port, "URL")
        eq(d["info"]["Server"]["HTTPS"], "1", "HTTPS")
        c = http.client.HTTPSConnection("localhost", port, context=ctx, timeout=20)
        c.request("GET", "/cookies.html")
        resp = c.getresponse()
        eq(resp.status, 200, "status")
        check(b"visit number 1" in resp.read(), "cookies page")
        c.request("GET", "/stream.html")  # same TLS connection, streamed
        check(b"part 4 of 4" in c.getresponse().read(), "stream over TLS")
        c.close()

    return [test_pages_over_tls]


# ----------------------------------------------------------------- load ----

def group_load(b, srv):
    port = srv.port

    def test_fifty_concurrent_pages():
        def one(i):
            r, d = echo(port, "/tools-echo-%d.html?i=%d" % (i, i), headers=[("Cookie", "who=%d" % i)])
            return i, d

        with concurrent.futures.ThreadPoolExecutor(50) as pool:
            results = list(pool.map(one, range(50)))
        for i, d in results:
            eq(d["evtp"], str(i), "evtp")
            eq(d["info"]["URL"].rsplit("?", 1)[1], "i=%d" % i, "query")
            eq(d["cookies"], {"who": str(i)}, "cookies")

    return [test_fifty_concurrent_pages]


GROUPS = {"basic": group_basic, "forms": group_forms, "stream": group_stream, "phar": group_phar,
          "https": group_https, "load": group_load}


def main():
    group = sys.argv[sys.argv.index("--group") + 1]
    with e2e.TestBundle(e2e.build_dir()) as b:
        args = ["--port", str(b.port)]
        if group == "phar":
            b.phar = build_phar(b)
            args = ["--proj", b.phar, "--port", str(b.port)]
        srv = b.start(args)
        code = e2e.run_tests(GROUPS[group](b, srv))
        srv.stop()
        if code:
            print(srv.output())
    return code


if __name__ == "__main__":
    sys.exit(main())
