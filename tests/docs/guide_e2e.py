"""The guide docs/projects.md, run: its example project (docs/example/notes)
served by the real server, and each marked example of the guide checked.

Markers in the guide, an HTML comment on the line before a fenced block:
    <!-- from: PATH -->     the block is a verbatim excerpt of docs/example/notes/PATH
    <!-- example: NAME -->  a JSON example compared with what the server really does
    <!-- ipc: NAME -->      an IPC command, sent through a test application in a
                            scenario of three connections (see test_ipc_commands)

    python3 guide_e2e.py --build BUILD
"""

import asyncio
import json
import os
import re
import shutil
import subprocess
import sys
import time
import urllib.parse

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "wsapps"))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "pages"))

import vexa_e2e as e2e  # noqa: E402
from pages_e2e import RawClient, http_date, multipart, request  # noqa: E402
from browser_e2e import Browser, Page, find_chromium  # noqa: E402
from wsclient import WsClient, install_fixture  # noqa: E402

GUIDE = os.path.join(ROOT, "docs", "projects.md")
EXAMPLE = os.path.join(ROOT, "docs", "example", "notes")
BLOCK = re.compile(r"<!-- (from|example|ipc): ([\w./-]+) -->\n```\w*\n(.*?)\n```", re.S)


def guide_blocks():
    with open(GUIDE, encoding="utf-8") as f:
        text = f.read()
    blocks = {"from": [], "example": {}, "ipc": {}}
    for kind, name, body in BLOCK.findall(text):
        if kind == "from":
            blocks["from"].append((name, body))
        else:
            blocks[kind][name] = body
    return text, blocks


TEXT, BLOCKS = guide_blocks()


def example_text(name):
    return BLOCKS["example"][name]


def example(name):
    return json.loads(example_text(name))


def keys_of(value):
    """The shape of a JSON value: its object keys, recursively, in order."""
    if isinstance(value, dict):
        return [(k, keys_of(v)) for k, v in value.items()]
    return type(value).__name__


def guide_lib_path():
    """The helper library's folder as sections 0 and 2.5 name it, relative to
    the bundle's folder (build/bundle after a build)."""
    copy = re.search(r"^cp -r build/bundle/(\S+)/lib ~/notes/ ", TEXT, re.M)
    assert copy, "section 0 copies lib/ from the built bundle"
    assert f"`build/bundle/{copy.group(1)}`" in TEXT, "section 2.5 names the same folder"
    return copy.group(1) + "/lib"


def test_code_blocks_are_the_example_files():
    assert len(BLOCKS["from"]) >= 6, BLOCKS["from"]
    for name, body in BLOCKS["from"]:
        with open(os.path.join(EXAMPLE, name), encoding="utf-8") as f:
            assert body in f.read(), f"guide block for {name} is not in the file:\n{body}"
    assert "docs/projects.md" in open(os.path.join(ROOT, "README.md"), encoding="utf-8").read()


class Notes:
    """The example project, copied with the bundle's lib/ as section 0 says, served."""

    def __init__(self, bundle):
        self.folder = os.path.join(os.path.dirname(bundle.root), "notes")
        shutil.copytree(EXAMPLE, self.folder)
        shutil.copytree(os.path.join(bundle.root, guide_lib_path()), os.path.join(self.folder, "lib"))
        self.data = os.path.join(os.path.dirname(bundle.root), "notes-data")
        env = dict(os.environ, NOTES_DATA=self.data)
        self.srv = bundle.start(["--proj", os.path.join(self.folder, "app.vexa"), "--port", bundle.port], env=env)
        self.port = self.srv.port


def day_number(days_from_now):
    return 25569 + int(time.time()) // 86400 + days_from_now


def notes_tests(bundle, notes):
    port = notes.port

    def test_layout_static_files_and_pages():
        r = request(port, "/style.css?v=2")
        assert r.status == 200 and r.header("Cache-Control") == "public, max-age=864000", r.headers
        assert r.header("Content-Type") == "text/css"
        # Every file of the project folder is served, the project file too.
        assert json.loads(request(port, "/app.vexa").body) == {"name": "notes"}
        # A .php path is neither run nor sent; an unknown page name is the router's answer.
        r = request(port, "/app/store.php")
        assert r.status == 404 and b"<?php" not in r.body, r.body
        r = request(port, "/app/notes-x.html")
        assert r.status == 200 and b"no such page" in r.body, r.body
        r = request(port, "/")
        assert r.status == 200 and r.header("Transfer-Encoding") == "chunked" and b"<h1>Notes</h1>" in r.body
        # Text printed around an envelope follows its content, in its chunk.
        noise = re.search(r"the browser gets `(.*?)`", TEXT).group(1).encode()
        assert request(port, "/raw-noise.html").chunks == [noise] == [b"<p>content</p>[before][lead][after]"]
        # A symbolic link in the project folder is followed, out of the folder too.
        outside = os.path.join(os.path.dirname(notes.folder), "outside.txt")
        with open(outside, "w") as f:
            f.write("outside")
        os.symlink(outside, os.path.join(notes.folder, "linked.txt"))
        assert request(port, "/linked.txt").body == b"outside"
        os.remove(os.path.join(notes.folder, "linked.txt"))  # a .phar refuses it

    def test_form_and_cookie():
        body = urllib.parse.urlencode({"author": "Jörg", "text": "Hello & welcome"}).encode()
        days = {day_number(30)}
        r = request(port, "/notes-add.html", "POST",
                    [("Content-Type", "application/x-www-form-urlencoded")], body)
        days.add(day_number(30))  # the request may cross midnight UTC
        assert r.status == 200
        assert r.header("Set-Cookie") in [f"author=J%C3%B6rg; Expires={http_date(d)}; Path=/; HttpOnly"
                                          for d in days], r.headers
        assert "Jörg: Hello &amp; welcome</li>" in r.body.decode(), r.body
        r = request(port, "/", headers=[("Cookie", "author=J%C3%B6rg")])
        assert 'name="author" value="Jörg"' in r.body.decode()

    def test_upload_moves_out_of_cache_and_needs_cache():
        body, ctype = multipart([("file", b"12345", "a.txt"), ("text", "über".encode(), None)])
        r = request(port, "/notes-attach.html", "POST", [("Content-Type", ctype)], body)
        assert b"saved with a.txt, 5 bytes." in r.body, r.body
        assert os.listdir(os.path.join(notes.folder, "cache")) == ["README.txt"]
        assert [n for n in os.listdir(notes.data) if n.endswith("-a.txt")]
        # A name taken in cache/ gets a number before its extension; PHP
        # receives the path written.
        kept = []
        for content in (b"first", b"second"):
            body, ctype = multipart([("file", content, "r.txt")])
            r = request(port, "/raw-x.html", "POST", [("Content-Type", ctype)], body)
            kept.append(json.loads(r.body)["cdata"]["postdata"]["file"])
        assert [os.path.basename(p) for p in kept] == ["r.txt", "r-1.txt"], kept
        assert [open(p, "rb").read() for p in kept] == [b"first", b"second"]
        # Files in cache/ are served, but never run as a page of the server.
        with open(os.path.join(notes.folder, "cache", "x.htm"), "w") as f:
            f.write("<script>parent.x = 1</script>")
        assert request(port, "/cache/x.htm").header("Content-Security-Policy") == "sandbox"
        assert request(port, "/style.css").header("Content-Security-Policy") is None
        for p in kept + [os.path.join(notes.folder, "cache", "x.htm")]:
            os.remove(p)
        shutil.rmtree(os.path.join(notes.folder, "cache"))
        r = request(port, "/notes-attach.html", "POST", [("Content-Type", ctype)], body)
        assert b"No file arrived." in r.body, r.body
        # Without cache/ the fields after the upload are lost as well.
        body, ctype = multipart([("before", b"1", None), ("file", b"12345", "a.txt"), ("after", b"2", None)])
        r = request(port, "/raw-x.html", "POST", [("Content-Type", ctype)], body)
        assert json.loads(r.body)["cdata"]["postdata"] == {"before": "1"}, r.body

    def test_what_php_receives_and_the_raw_envelope():
        # The request of the guide's examples: the header names its idata shows.
        guide_idata = example("idata")
        names = [k[5:].replace("_", "-") for k in guide_idata["Server"] if k.startswith("HTTP_") and k != "HTTP_HOST"]
        values = {"Cookie": "author=Ann; theme=dark", "Content-Type": "application/x-www-form-urlencoded",
              "User-Agent": "Mozilla/5.0"}
        headers = [(n, values.get(n, "x")) for n in names if n not in ("Host", "Content-Length")]
        form = b"text=Hi+there&tag[]=a&tag[]=b"
        r = request(port, "/raw-show-42.html?sort=new", "POST", headers, form)
        assert r.header("Content-Type") == "application/json" and r.header("X-Notes") == "raw", r.headers
        assert r.header("Set-Cookie") == "seen=yes; Path=/; HttpOnly"
        got = json.loads(r.body)
        argv = example("argv")
        assert len(got["argv"]) == len(argv) and got["argv"][1] == argv[1] == "-", got["argv"]
        assert got["argv"][2::2] == argv[2::2], got["argv"]  # the option names
        assert got["argv"][7:12:2] == argv[7:12:2] == ["raw", "show", "42"]
        assert keys_of(got["idata"]) == keys_of(guide_idata), (got["idata"], guide_idata)
        assert got["idata"]["URL"] == f"http://127.0.0.1:{port}?sort=new"
        for k in ("Method", "Header"):
            assert got["idata"][k] == guide_idata[k]
        for k in ("HTTP_Cookie", "HTTP_Content_Type", "HTTP_Content_Length", "HTTPS", "REMOTE_ADDR", "REMOTE_PORT",
                  "PHP_SELF"):
            assert got["idata"]["Server"][k] == guide_idata["Server"][k], k
        cdata = example("cdata")
        assert got["cdata"]["postdata"] == cdata["postdata"] and list(got["cdata"]) == list(cdata)
        assert sorted(got["cdata"]["sargv"]) == sorted(cdata["sargv"]), got["cdata"]["sargv"]
        assert got["bcookies"] == example("bcookies")
        envelope = example("envelope")
        assert bytes.fromhex(envelope["content"]).decode() == "<p>Hello</p>"
        expires = http_date(envelope["cookies"]["author"][1])
        assert f"`author=Ann; Expires={expires}; Path=/; HttpOnly`" in TEXT, expires

    def test_global_websocket_application():
        start = example("start-message")
        assert start["ctrl"] == "live"
        a = WsClient(port)
        a.send(start)
        assert json.loads(a.recv()) == {"online": 1}
        notes.srv.wait_for("Global App live Started")
        b = WsClient(port)
        b.send(start)
        assert json.loads(a.recv()) == json.loads(b.recv()) == {"online": 2}
        b.send({"ctrl": "live", "bdata": {"author": "Ann", "text": "from b"}})
        note = json.loads(a.recv())["note"]
        assert note["author"] == "Ann" and note["text"] == "from b"
        assert json.loads(b.recv()) == {"note": note}
        assert json.loads(b.recv()) == {"saved": note["id"]}
        a.expect_silence()
        b.close()
        assert json.loads(a.recv()) == {"online": 1}
        assert "Ann: from b</li>" in request(port, "/").body.decode()
        c = WsClient(port)
        c.send(start)
        assert json.loads(a.recv()) == json.loads(c.recv()) == {"online": 2}
        a.close()  # the page that started "live" leaves too
        assert json.loads(c.recv()) == {"online": 1}
        c.close()

    def test_live_js_in_chromium():
        exe = find_chromium()
        if not exe:
            raise e2e.Skip("no Chromium installed (scripts/setup installs it)")
        import websockets
        browser = Browser(exe)
        try:
            async def run():
                async with websockets.connect(browser.page_socket(), max_size=None) as ws:
                    page = Page(ws)
                    await page.call("Page.navigate", url=f"http://127.0.0.1:{port}/")
                    text = lambda i: f"document.getElementById('{i}') && document.getElementById('{i}').textContent"
                    before = int(await page.wait_text(text("online"), lambda v: v.isdigit()))
                    other = WsClient(port)
                    other.send(example("start-message"))
                    await page.wait_text(text("online"), lambda v: v == str(before + 1))
                    await page.eval("document.getElementById('live-text').value = 'from chromium';"
                                    "document.getElementById('live-send').click()")
                    while "note" not in (m := json.loads(other.recv())):
                        pass
                    assert m["note"]["text"] == "from chromium", m
                    await page.wait_text(text("notes"), lambda v: "from chromium" in v)
                    await page.wait_text(text("said"), lambda v: v == f"Note {m['note']['id']} saved.")
                    other.close()
                    await page.call("Page.navigate", url="about:blank")
            asyncio.run(run())
        finally:
            browser.close()

    def test_request_targets_and_local_files():
        """Section 8: absolute targets are served as their path, other forms
        refused; ~furl/ only for fetches marked same-origin or none, or unmarked."""
        assert "absolute URL (`http://host:port/path`" in TEXT
        r = request(port, f"http://127.0.0.1:{port}/style.css")
        assert r.status == 200 and r.body.startswith(b"body {"), (r.status, r.body[:80])
        # The URL's host is the request's Host, and held to the Host check.
        assert request(port, "http://evil.example/style.css").status == 403
        for target in ("*", "style.css"):
            assert request(port, target).status == 400, target
        assert request(port, "*", "OPTIONS").status == 405
        local = os.path.join(os.path.dirname(notes.folder), "local.txt")
        with open(local, "w") as f:
            f.write("local")
        allowed = re.search(r"carry no `Sec-Fetch-Site` or carry `(\S+)` or `(\S+)`", TEXT).groups()
        assert sorted(allowed) == ["none", "same-origin"], allowed
        for site in (None,) + allowed:
            r = request(port, "/~furl/" + local, headers=[("Sec-Fetch-Site", site)] if site else [])
            assert r.status == 200 and r.body == b"local", (site, r.status)
        assert "`cross-site`, and `same-site` too" in TEXT
        for site in ("cross-site", "same-site", "same-origin, cross-site"):
            assert request(port, "/~furl/" + local, headers=[("Sec-Fetch-Site", site)]).status == 404, site

    def test_form_data_limit():
        """Section 2.4: about 64 KiB of form data once hex-coded into cdata."""
        passes = int(re.search(r"a URL-encoded body of about ([\d,]+) bytes passes, one of 64 KiB does not",
                               TEXT).group(1).replace(",", ""))
        form = [("Content-Type", "application/x-www-form-urlencoded")]
        r = request(port, "/raw-x.html", "POST", form, b"text=" + b"t" * (passes - 5))
        assert r.status == 200 and len(json.loads(r.body)["cdata"]["postdata"]["text"]) == passes - 5
        r = request(port, "/raw-x.html", "POST", form, b"text=" + b"t" * (64 * 1024 - 5))
        assert r.status == 413, (r.status, r.body[:200])

    def test_phar_package():
        """The guide's two commands, with the bundle's server on a port of its own."""
        build, serve = example_text("phar").splitlines()
        top = os.path.dirname(notes.folder)
        subprocess.run(build, shell=True, cwd=top, check=True, timeout=60)
        assert serve == "mkdir cache && vexaserver notes.phar"
        os.makedirs(os.path.join(top, "cache"))
        p = e2e.free_port()
        srv = bundle.start(["--proj", os.path.join(top, "notes.phar"), "--port", p], port=p,
                           env=dict(os.environ, NOTES_DATA=notes.data))
        assert request(p, "/style.css").body.startswith(b"body {")
        body, ctype = multipart([("file", b"12345", "b.txt")])
        r = request(p, "/notes-attach.html", "POST", [("Content-Type", ctype)], body)
        assert b"saved with b.txt, 5 bytes." in r.body and b"from b</li>" in r.body, r.body
        assert srv.stop()[0] == 0 and "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-3000:]

    return [test_layout_static_files_and_pages, test_form_and_cookie, test_upload_moves_out_of_cache_and_needs_cache,
            test_what_php_receives_and_the_raw_envelope, test_global_websocket_application, test_live_js_in_chromium,
            test_request_targets_and_local_files, test_form_data_limit, test_phar_package]


def project_tests(bundle):
    """Run before any other server of the bundle: the bundle's own port is free."""

    def test_folder_without_app_vexa():
        """Section 1: a project folder without app.vexa is served with the
        bundle's settings alone, after one error line; --port is not applied."""
        said = re.search(r"Without it the server writes `([^`]+)` and serves the folder with the bundle's settings "
                         r"alone: the command-line options of that run are not applied, so with `--port 9000` it "
                         r"still listens on the port of the bundle's settings", TEXT)
        assert said, "section 1 says what a folder without app.vexa gets"
        folder = os.path.join(os.path.dirname(bundle.root), "bare")
        os.makedirs(folder)
        with open(os.path.join(folder, "hello.txt"), "w") as f:
            f.write("hello")
        other = e2e.free_port()
        while other == bundle.port:
            other = e2e.free_port()
        srv = bundle.start(["--proj", folder, "--port", other])
        assert srv.port == bundle.port, (srv.port, bundle.port, other)
        assert said.group(1).replace("<folder>", folder) in srv.output().splitlines(), srv.output()
        assert request(srv.port, "/hello.txt").body == b"hello"
        assert srv.stop()[0] == 0 and "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-3000:]
        # An app.vexa of "{}" is enough: the options apply, without an error line.
        assert "must hold `app.vexa` too (`{}` will do)" in TEXT
        with open(os.path.join(folder, "app.vexa"), "w") as f:
            f.write("{}")
        srv = bundle.start(["--proj", folder, "--port", other], port=other)
        assert srv.port == other and "Project Settings:-" not in srv.output(), srv.output()
        assert srv.stop()[0] == 0 and "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-3000:]

    return [test_folder_without_app_vexa]


def ipc_tests(bundle, srv):
    """The guide's IPC examples in its scenario: connections 1 and 2 each run
    their own application, 3 runs none; then 1's application becomes global
    and 3 joins it. The test application "wsprobe" runs the commands it is
    given and answers with what it received."""

    def test_ipc_commands():
        ipc = {name: json.loads(body.replace('"live"', '"wsprobe"')) for name, body in BLOCKS["ipc"].items()}
        assert sorted(ipc) == ["createprocess", "sendall-1", "sendall-2", "sendall-3", "sendall-4",
                               "setglobal", "setglobalm", "setproxy"], sorted(ipc)
        # The server numbers a connection just after its handshake: one at a time.
        c = [None]
        for i in (1, 2):
            c.append(WsClient(srv.port))
            c[i].send({"ctrl": "wsprobe", "bdata": {}, "token": "", "typeappobj": "", "evt": "", "evtp": ""})
            assert c[i].recv_data()["conid"] == str(i)
        c.append(WsClient(srv.port))
        c[3].send({"ctrl": "wsprobe"})  # refused; its error line shows connection 3 is registered
        srv.wait_for("Project Vexa WS App Request JSON Key not found.")
        # The stdin line of a later message, as the guide shows it for connection 2.
        line = example_text("stdin-line")
        c[2].send({"ctrl": "wsprobe", "bdata": {"text": "hi"}})
        raw = c[2].recv_data()["raw"]
        hex_of = re.compile(r'"cpdata" : "([0-9A-F]+)"')
        assert hex_of.sub("", raw) == hex_of.sub("", line), (raw, line)
        inner = bytes.fromhex(hex_of.search(line).group(1)).decode()
        assert bytes.fromhex(hex_of.search(raw).group(1)).decode() == inner.replace('"live"', '"wsprobe"'), raw
        assert f"carries `{inner}`" in TEXT

        def run(sender, name):
            c[sender].send({"ctrl": "wsprobe", "bdata": {"quiet": 1, "ipc": [ipc[name]]}})

        def receivers(name, expected):
            raw = ipc[name]["data"]["rawdata"]
            for i in (1, 2, 3):
                if i in expected:
                    assert c[i].recv() == raw, (name, i)
                else:
                    c[i].expect_silence(0.3)

        run(1, "sendall-2")
        receivers("sendall-2", {2, 3})
        run(1, "sendall-3")
        receivers("sendall-3", {2})
        run(2, "createprocess")
        got = [c[2].recv_data() for _ in range(2)]  # the child's line may come before its event
        assert [(d["event"]["evt"], d["event"]["evtp"]) for d in got if "event" in d] == [
            ("onprocesscreate", "worker")], got
        assert [d["child"] for d in got if "child" in d] == ["ready"], got
        # The child reads the item's hex coding, the "," coded with it, and echoes it.
        c[2].send({"ctrl": "wsprobe", "bdata": {"quiet": 1, "child": "hi"}})
        got = [c[2].recv_data() for _ in range(2)]
        line = example_text("child-line")
        assert got[0]["child"] == line and line.endswith("2C"), (got, line)
        assert f"the hex coding of `{bytes.fromhex(line).decode()}`" in TEXT
        assert (got[1]["event"]["evt"], got[1]["event"]["evtp"]) == ("cquit", "worker"), got
        run(1, "setglobal")
        srv.wait_for("Global App wsprobe Started")
        c[3].send({"ctrl": "wsprobe", "bdata": {"join": 1}})
        assert c[1].recv_data()["message"]["bdata"]["wconn"] == "n"  # replies go to the manager, 1
        c[3].expect_silence(0.3)
        run(1, "sendall-1")
        receivers("sendall-1", {1, 3})
        run(1, "sendall-4")
        receivers("sendall-4", {3})
        run(1, "setglobalm")
        srv.wait_for("Global App wsprobe Manager Changed conid:- 3")
        c[1].send({"ctrl": "wsprobe", "bdata": {"ask": 1}})
        assert c[3].recv_data()["message"]["bdata"]["ask"] == 1
        c[1].expect_silence(0.3)
        run(1, "setproxy")
        c[3].expect_silence(0.3)
        assert "invalid command" not in srv.output(), srv.output()
        for i in (1, 2, 3):
            c[i].close()

    def test_page_reply_keeps_its_other_items():
        page = os.path.join(bundle.sample, "pages", "pageipc.php")
        with open(page, "w") as f:
            f.write("<?php return function ($req, $reply) { $reply->send(<<<'ITEMS'\n"
                    + example_text("page-ipc") + "\nITEMS); };\n")
        r = request(srv.port, "/pageipc.html")
        assert [json.loads(c[:-1])["response"]["data"] for c in r.chunks] == [{"n": 1}, {"n": 2}], r.chunks
        srv.wait_for("AppMid:- Wrong Request Protocol:- ")

    def test_standard_error_and_the_first_envelope():
        """Section 2.4: a standard error line that reaches the server before the
        first envelope takes the header with it, and the envelope's cookie is
        lost; an envelope printed before the line keeps its cookie. The first
        page waits for a file that the test makes once the line has arrived,
        so the line surely comes first."""
        assert "**Write nothing to standard error before the first `send()`**" in TEXT
        go = os.path.join(bundle.root, "go")
        pages = os.path.join(bundle.sample, "pages")
        with open(os.path.join(pages, "errfirst.php"), "w") as f:
            f.write("<?php return function ($req, $reply) {\n"
                    "    fwrite(STDERR, \"early\\n\");\n"
                    f"    for ($i = 0; $i < 12000 && !file_exists('{go}'); $i++) usleep(10000);\n"
                    "    $reply->cookie('kept', 'no', 1);\n"
                    "    $reply->send('<p>after</p>');\n"
                    "};\n")
        with open(os.path.join(pages, "errafter.php"), "w") as f:
            f.write("<?php return function ($req, $reply) {\n"
                    "    $reply->cookie('kept', 'yes', 0);\n"
                    "    $reply->send('<p>first</p>');\n"
                    "    fwrite(STDERR, \"late\\n\");\n"
                    "};\n")
        with RawClient(srv.port) as c:
            c.send(f"GET /errfirst.html HTTP/1.1\r\nHost: 127.0.0.1:{srv.port}\r\n\r\n")
            head = c._until(b"\r\n\r\n").decode("latin-1")
            fields = [line.split(":", 1) for line in head.split("\r\n")[1:]]
            fields = {n.strip().lower(): v.strip() for n, v in fields}
            assert fields.get("content-type") == "text/html;charset=UTF-8" and "set-cookie" not in fields, head
            size = int(c._until(b"\r\n"), 16)
            assert c._exact(size + 2) == b"ReqHand:- Process Error(RX):- early\r\n\r\n"
            open(go, "w").close()
            size = int(c._until(b"\r\n"), 16)
            assert c._exact(size) == b"<p>after</p>"
        r = request(srv.port, "/errafter.html")
        assert r.header("Set-Cookie") == "kept=yes; Path=/; HttpOnly", r.headers
        assert r.chunks == [b"<p>first</p>", b"ReqHand:- Process Error(RX):- late\r\n"], r.chunks

    def test_standard_input_stays_open():
        """Section 2.2: a page's standard input brings nothing, not even the
        request body, and stays open: a page that reads it waits until its
        client leaves and is then stopped. The page records whatever its read
        returns; it must never get that far."""
        assert "A page that reads `STDIN` (`fgets(STDIN)`, `stream_get_contents(STDIN)`) waits until its client " \
               "leaves, and is then stopped (section 2.4)." in TEXT
        got = os.path.join(bundle.root, "stdin-read")
        with open(os.path.join(bundle.sample, "pages", "stdinwait.php"), "w") as f:
            f.write("<?php return function ($req, $reply) {\n"
                    "    $reply->send('<p>waiting</p>');\n"
                    f"    file_put_contents('{got}', var_export(fgets(STDIN), true));\n"
                    "    $reply->send('<p>read</p>');\n"
                    "};\n")
        body = b"text=hi\n"
        with RawClient(srv.port) as c:
            c.send(f"POST /stdinwait.html HTTP/1.1\r\nHost: 127.0.0.1:{srv.port}\r\n"
                   "Content-Type: application/x-www-form-urlencoded\r\n"
                   f"Content-Length: {len(body)}\r\n\r\n".encode() + body)
            c._until(b"\r\n\r\n")
            size = int(c._until(b"\r\n"), 16)
            assert c._exact(size) == b"<p>waiting</p>"
        srv.wait_for("Page /stdinwait.html stopped: its client left", 10 * e2e.SLOW)
        assert not os.path.exists(got), open(got).read()

    return [test_ipc_commands, test_page_reply_keeps_its_other_items, test_standard_error_and_the_first_envelope,
            test_standard_input_stays_open]


def main():
    failed = e2e.run_tests([test_code_blocks_are_the_example_files])
    with e2e.TestBundle(e2e.build_dir()) as bundle:
        notes = Notes(bundle)
        failed |= e2e.run_tests(notes_tests(bundle, notes))
        code, out = notes.srv.stop()
        assert code == 0 and "Sanitizer" not in notes.srv.stderr_text(), notes.srv.stderr_text()[-3000:]
    with e2e.TestBundle(e2e.build_dir()) as bundle:
        failed |= e2e.run_tests(project_tests(bundle))
        install_fixture(bundle, "wsprobe.php")
        srv = bundle.start(["--port", bundle.port])
        failed |= e2e.run_tests(ipc_tests(bundle, srv))
        code, out = srv.stop()
        assert code == 0 and "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-3000:]
    return failed


if __name__ == "__main__":
    sys.exit(main())
