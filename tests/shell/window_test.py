"""vexaview under a private X display: the page shows, the window title follows
the page, "SetTitle" sets it as the page contract says, and closing the window
ends the program with exit code 0.

Usage: window_test.py --exe PATH/vexaview [unittest options]
"""

import os
import pathlib
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xdisplay import XDisplay, tempdir  # noqa: E402

EXE = None

PAGE = """<!DOCTYPE html><html><head><meta charset="utf-8"><title>%s</title></head>
<body style="margin:0;background:#3366cc;color:#ffffff">
<h1 style="margin:40px">shell test page</h1></body></html>
"""

# Calls SetTitle itself once the page has loaded, after the shell's own
# DOMContentLoaded call; which call it makes is chosen by the query string.
SETTITLE_PAGE = """<!DOCTYPE html><html><head><title>start</title><script>
window.addEventListener("load", function () {
  var c = location.search.slice(1);
  if (c === "n42") SetTitle(42);
  else if (c === "n12345") SetTitle(12345);
  else if (c === "empty") SetTitle().then(function (r) {
    return SetTitle("after empty call: " + typeof r + " " + r.result);
  });
  else if (c === "reply") SetTitle("first").then(function (r) {
    return SetTitle("reply " + JSON.stringify(Object.keys(r)) + " " + r.result);
  });
});
</script></head><body>settitle</body></html>
"""


class ShellWindow(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempdir()
        cls.dir = pathlib.Path(cls.tmp.name)
        cls.x = XDisplay().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.x.__exit__(None, None, None)
        cls.tmp.cleanup()

    def page(self, name, text):
        p = self.dir / name
        p.write_text(text, encoding="utf-8")
        return p.as_uri()

    def start(self, *args):
        proc = self.x.spawn([EXE, *args])
        wid = self.x.wait_window(proc.pid, proc=proc)
        return proc, wid

    def close_and_wait(self, proc, wid):
        self.x.close(wid)
        try:
            code = proc.wait(15)
        except Exception:
            self.fail("vexaview did not end after its window was closed")
        err = proc.stderr.read().decode(errors="replace")
        self.assertEqual(code, 0, "exit code %s, stderr:\n%s" % (code, err))

    def test_page_shows_title_follows_and_close_ends_with_0(self):
        # The three arguments the server passes; only the first one counts.
        url = self.page("main.html", PAGE % "Shell Test Page")
        proc, wid = self.start("--url=" + url, "--projpath=/nowhere/proj",
                               "--projtype=other.php")
        self.x.wait_title(wid, "Shell Test Page")
        # The title comes with the document; the first paint may follow a
        # little later.
        deadline = time.time() + 15
        while True:
            shot = self.x.screenshot(str(self.dir / "shot.png"))
            colors = self.x.colors(shot)
            blue = colors.get("#3366CC", 0)
            # The window is 1024x768 on a 1280x1024 screen; most of it is the page.
            if blue > 1024 * 768 // 2 or time.time() > deadline:
                break
            time.sleep(0.2)
        self.assertGreater(blue, 1024 * 768 // 2, "page not shown: %r" % sorted(
            colors.items(), key=lambda kv: -kv[1])[:5])
        geometry = self.x.run(["xdotool", "getwindowgeometry", str(wid)]).stdout
        self.assertIn("Geometry: 1024x768\n", geometry)  # wide, not tall
        self.close_and_wait(proc, wid)

    def test_title_with_double_quote_keeps_its_backslash(self):
        url = self.page("quote.html", PAGE % 'Say "hi" &amp; go')
        proc, wid = self.start("--url=" + url)
        self.x.wait_title(wid, 'Say \\"hi\\" & go')
        self.close_and_wait(proc, wid)

    def test_settitle_cuts_the_request_text(self):
        url = self.page("settitle.html", SETTITLE_PAGE)
        cases = [
            ("n42", ""),            # [42]: four bytes, nothing left between
            ("n12345", "234"),      # [12345] loses two bytes at each end
            # A call without argument leaves the title and still resolves.
            ("empty", "after empty call: object ok"),
            ("reply", 'reply [\\"result\\"] ok'),
        ]
        for query, expected in cases:
            with self.subTest(query=query):
                proc, wid = self.start("--url=" + url + "?" + query)
                self.x.wait_title(wid, expected)
                self.close_and_wait(proc, wid)

    def test_without_argument_the_start_page_is_shown(self):
        proc, wid = self.start()
        self.x.wait_title(wid, "vexaview - no address")
        self.close_and_wait(proc, wid)

    def test_without_a_display_it_says_so_and_fails(self):
        env = {k: v for k, v in self.x.env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
        r = subprocess.run([EXE, "--url=about:blank"], env=env, capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(r.returncode, 1)
        self.assertIn("cannot open a window", r.stderr)

    def test_empty_address_shows_a_blank_window_that_closes_cleanly(self):
        proc, wid = self.start("--url=")
        time.sleep(1.0)
        self.assertIsNone(proc.poll())
        self.assertIn(self.x.title(wid), ("vexaview", ""))
        self.close_and_wait(proc, wid)

if __name__ == "__main__":
    argv = [sys.argv[0]]
    it = iter(sys.argv[1:])
    for a in it:
        if a == "--exe":
            EXE = next(it)
        else:
            argv.append(a)
    if not EXE:
        sys.exit("usage: window_test.py --exe PATH [unittest options]")
    unittest.main(argv=argv, verbosity=2)
