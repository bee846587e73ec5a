"""A real browser on the sample's start page: headless Chromium, driven over
its DevTools protocol, exchanges messages with the echo and chat
applications, and the test reads what the page shows.

    python3 browser_e2e.py --build BUILD
"""

import asyncio
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
sys.path.insert(0, HERE)

import vexa_e2e as e2e  # noqa: E402
from wsclient import WsClient, start_message, wait_no_processes  # noqa: E402


def find_chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    def __init__(self, exe):
        self.profile = tempfile.mkdtemp(prefix="vexa-chromium-")
        self.proc = subprocess.Popen(
            [exe, "--headless=new", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--disable-extensions", "--disable-background-networking", "--remote-debugging-port=0",
             "--remote-debugging-address=127.0.0.1", f"--user-data-dir={self.profile}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        end = time.monotonic() + 30
        while not (os.path.exists(port_file) and open(port_file).read().count("\n") >= 1):
            if time.monotonic() > end or self.proc.poll() is not None:
                raise AssertionError("Chromium did not open its DevTools port")
            time.sleep(0.1)
        self.port = int(open(port_file).read().split()[0])

    def page_socket(self):
        end = time.monotonic() + 10
        while True:
            targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{self.port}/json/list"))
            pages = [t for t in targets if t.get("type") == "page"]
            if pages:
                return pages[0]["webSocketDebuggerUrl"]
            if time.monotonic() > end:
                raise AssertionError("no page target")
            time.sleep(0.1)

    def close(self):
        try:
            os.killpg(self.proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
        self.proc.wait(10)
        shutil.rmtree(self.profile, ignore_errors=True)


class Page:
    def __init__(self, ws):
        self.ws = ws
        self.next_id = 0

    async def call(self, method, **params):
        self.next_id += 1
        my = self.next_id
        await self.ws.send(json.dumps({"id": my, "method": method, "params": params}))
        while True:
            reply = json.loads(await asyncio.wait_for(self.ws.recv(), 30))
            if reply.get("id") == my:
                if "error" in reply:
                    raise AssertionError(reply["error"])
                return reply.get("result", {})

    async def eval(self, expression):
        result = await self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result.get("result", {}).get("value")

    async def wait_text(self, expression, predicate, timeout=20):
        end = time.monotonic() + timeout
        value = None
        while time.monotonic() < end:
            value = await self.eval(expression)
            if value is not None and predicate(value):
                return value
            await asyncio.sleep(0.1)
        raise AssertionError(f"{expression} stayed {value!r}")


def run_in_page(exe, url, steps):
    """Opens `url` in a fresh headless Chromium, runs `await steps(page)`, then
    leaves the page (so that its connections close) and ends the browser."""
    import websockets

    browser = Browser(exe)
    try:
        async def run():
            async with websockets.connect(browser.page_socket(), max_size=None) as ws:
                page = Page(ws)
                await page.call("Page.enable")
                await page.call("Page.navigate", url=url)
                await steps(page)
                await page.call("Page.navigate", url="about:blank")

        asyncio.run(run())
    finally:
        browser.close()


def test_start_page_in_chromium():
    exe = find_chromium()
    if not exe:
        raise e2e.Skip("no Chromium installed (scripts/setup installs it)")

    with e2e.TestBundle(e2e.build_dir()) as b:
        srv = b.start(["--port", str(b.port)])

        async def steps(page):
            text = lambda i: f"document.getElementById('{i}') && document.getElementById('{i}').textContent"
            await page.wait_text(text("ws-state"), lambda v: v == "open")
            # The page started its echo application and shows the reply.
            assert await page.wait_text(text("ws-echo-reply"), lambda v: v != "-") == "hello echo"
            await page.eval("document.getElementById('ws-echo-text').value = 'second';"
                            "document.querySelector('#ws-echo-form button').click()")
            await page.wait_text(text("ws-echo-reply"), lambda v: v == "second")
            assert await page.eval(text("ws-echo-count")) == "2"

            # The page joined the chat; a client of the test joins too.
            await page.wait_text(text("ws-chat-log"), lambda v: "joined" in v)
            other = WsClient(b.port)
            other.send({"ctrl": "wschat", "bdata": {"text": "hello from the test"}})
            await page.wait_text(text("ws-chat-log"), lambda v: "hello from the test" in v)
            await page.eval("document.getElementById('ws-chat-text').value = 'hello from chromium';"
                            "document.querySelector('#ws-chat-form button').click()")
            while True:  # the chat's texts reach the test's client too
                m = json.loads(other.recv(10))
                if m.get("text") == "hello from chromium":
                    break
            log = await page.wait_text(text("ws-chat-log"), lambda v: "hello from chromium" in v)
            assert log.index("hello from the test") < log.index("hello from chromium"), log
            other.close()

        run_in_page(exe, f"http://127.0.0.1:{b.port}/", steps)
        code, out = srv.stop()
        assert code == 0, out
        wait_no_processes(b.root, 5)


if __name__ == "__main__":
    sys.exit(e2e.run_tests([test_start_page_in_chromium]))
