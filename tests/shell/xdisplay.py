"""A private X display for window tests, and what the tests do with windows.

    with XDisplay() as x:                 # Xvfb on a free display number
        proc = x.spawn([exe, "--url=..."])
        wid = x.wait_window(proc.pid)      # the visible top-level window
        x.wait_title(wid, "Page title")
        x.screenshot(path); x.close(wid)  # close = the window manager's close

Xvfb picks its own free display number (-displayfd), so tests can run side by
side. Environment given to the programs under test:
- NO_AT_BRIDGE=1: GTK would otherwise look for an accessibility bus that a
  test machine does not have, and print warnings about it.
- ASAN_OPTIONS=detect_leaks=0: GTK, fontconfig and WebKit keep caches until
  the process ends, which the leak checker of a sanitizer build would report.
- TSAN_OPTIONS=suppressions=tsan.supp: see that file.
WebKitGTK 2.50 runs in this container as root as it is, sandbox and all; on a
machine where its sandbox cannot start, set
WEBKIT_DISABLE_SANDBOX_THIS_IS_DANGEROUS=1 before running the tests (it is
passed on), and LIBGL_ALWAYS_SOFTWARE=1 where no GL driver is present.
"""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time


class XDisplayError(AssertionError):
    pass


def _die_with_parent():
    # The display goes when the test process goes, even when it is killed
    # (a CTest timeout) before it can stop the display itself.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


class XDisplay:
    def __init__(self, width=1280, height=1024):
        self.size = (width, height)
        self.display = None
        self.procs = []

    def __enter__(self):
        if not shutil.which("Xvfb"):
            raise XDisplayError("Xvfb is not installed (package xvfb)")
        r, w = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0",
             "%dx%dx24" % self.size, "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=_die_with_parent)
        os.close(w)
        data = b""
        deadline = time.time() + 20
        with os.fdopen(r, "rb") as f:
            while not data.endswith(b"\n") and time.time() < deadline:
                chunk = f.read(1)
                if not chunk:
                    break
                data += chunk
        if not data.strip():
            self.xvfb.kill()
            self.xvfb.wait()
            raise XDisplayError("Xvfb did not start")
        self.display = ":" + data.decode().strip()
        self.env = dict(os.environ)
        self.env.update(DISPLAY=self.display, NO_AT_BRIDGE="1")
        self.env["ASAN_OPTIONS"] = "detect_leaks=0:" + self.env.get("ASAN_OPTIONS", "")
        supp = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan.supp")
        self.env["TSAN_OPTIONS"] = "suppressions=%s:%s" % (supp, self.env.get("TSAN_OPTIONS", ""))
        self.env.pop("WAYLAND_DISPLAY", None)
        return self

    def __exit__(self, *exc):
        for p in self.procs:
            if p.poll() is None:
                try:
                    os.killpg(p.pid, 9)
                except ProcessLookupError:
                    pass
                p.wait()
        self.xvfb.terminate()
        try:
            self.xvfb.wait(10)
        except subprocess.TimeoutExpired:
            self.xvfb.kill()
            self.xvfb.wait()

    def spawn(self, argv, env=None, **kw):
        """Starts a program on this display in its own process group."""
        e = dict(self.env)
        if env:
            e.update(env)
        p = subprocess.Popen(argv, env=e, start_new_session=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kw)
        self.procs.append(p)
        return p

    def run(self, argv, **kw):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True,
                              timeout=30, **kw)

    def windows(self, pid):
        r = self.run(["xdotool", "search", "--onlyvisible", "--pid", str(pid)])
        return [int(x) for x in r.stdout.split()]

    def wait_window(self, pid, timeout=20, proc=None):
        """The process's visible window. Given its Popen `proc`, waits until the
        window shows or the process ends, however long a loaded machine takes
        to start it (the test's own time-out ends a hang); else `timeout` s."""
        deadline = time.time() + timeout
        while proc is not None or time.time() < deadline:
            ws = self.windows(pid)
            if ws:
                return ws[0]
            if proc is not None and proc.poll() is not None:
                break
            time.sleep(0.05)
        raise XDisplayError("no window of process %d appeared" % pid)

    def title(self, wid):
        r = self.run(["xdotool", "getwindowname", str(wid)])
        if r.returncode != 0:
            return None
        return r.stdout[:-1] if r.stdout.endswith("\n") else r.stdout

    def wait_title(self, wid, expected, timeout=20):
        deadline = time.time() + timeout
        seen = None
        while time.time() < deadline:
            seen = self.title(wid)
            if seen == expected:
                return seen
            time.sleep(0.03)
        raise XDisplayError("window title is %r, expected %r" % (seen, expected))

    def screenshot(self, path, wid=None):
        target = "root" if wid is None else str(wid)
        r = self.run(["import", "-window", target, path])
        if r.returncode != 0:
            raise XDisplayError("screenshot failed: " + r.stderr)
        return path

    def colors(self, path):
        """{'#RRGGBB': pixel count} of an image."""
        r = self.run(["convert", path, "-format", "%c", "histogram:info:-"])
        out = {}
        for line in r.stdout.splitlines():
            parts = line.split()
            if len(parts) >= 3 and parts[0].endswith(":"):
                hexes = [p for p in parts if p.startswith("#")]
                if hexes:
                    out[hexes[0][:7].upper()] = int(parts[0][:-1])
        return out

    def close(self, wid):
        """Asks the window to close, as a window manager's close button does
        (a WM_DELETE_WINDOW client message)."""
        x = ctypes.CDLL("libX11.so.6")
        x.XOpenDisplay.restype = ctypes.c_void_p
        x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x.XInternAtom.restype = ctypes.c_ulong
        x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                 ctypes.c_long, ctypes.c_void_p]
        x.XFlush.argtypes = [ctypes.c_void_p]
        x.XCloseDisplay.argtypes = [ctypes.c_void_p]

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("l", ctypes.c_long * 5),
                        ("pad", ctypes.c_long * 12)]

        dpy = x.XOpenDisplay(self.display.encode())
        if not dpy:
            raise XDisplayError("cannot open " + self.display)
        try:
            ev = ClientMessage()
            ev.type = 33  # ClientMessage
            ev.display = dpy
            ev.window = wid
            ev.message_type = x.XInternAtom(dpy, b"WM_PROTOCOLS", 0)
            ev.format = 32
            ev.l[0] = x.XInternAtom(dpy, b"WM_DELETE_WINDOW", 0)
            ev.l[1] = 0  # CurrentTime
            x.XSendEvent(dpy, wid, 0, 0, ctypes.byref(ev))
            x.XFlush(dpy)
        finally:
            x.XCloseDisplay(dpy)


def tempdir():
    return tempfile.TemporaryDirectory(prefix="vexashell-")
