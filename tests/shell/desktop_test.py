"""Desktop mode end to end: vexaserver with the bundle's settings (desk mode,
"browser" empty) opens the sample project in vexaview on a private X display;
closing the window shuts the server down in order.

Usage:
  desktop_test.py --build BUILD                  the test (CTest runs this)
  desktop_test.py --build BUILD --measure N      start-up time, N runs: from
                                                 starting the server to the
                                                 window showing the sample
                                                 page's title; prints the median
  desktop_test.py --build BUILD --screenshot F   also saves the window to F
"""

import os
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "e2e"))
import vexa_e2e as e2e  # noqa: E402
from xdisplay import XDisplay  # noqa: E402

SAMPLE_TITLE = "Sample project"
SHUTDOWN_LINES = ["Clean Exit", "Bye Bye", "Server Stopping", "Server Stopped"]
BROWSER_ENV = ["VEXA_EXECPATH", "VEXA_DESKPATH", "VEXA_PROJPATH", "VEXA_PROJDIR",
               "VEXA_ARG", "VEXAURL"]


def arg_value(name):
    argv = sys.argv
    for i, a in enumerate(argv):
        if a == name and i + 1 < len(argv):
            return argv[i + 1]
    return None


def children(pid):
    """Pids whose parent is `pid`."""
    out = []
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                stat = f.read()
        except OSError:
            continue
        ppid = int(stat.rsplit(")", 1)[1].split()[1])
        if ppid == pid:
            out.append(int(d))
    return out


def read_list(pid, what):
    with open("/proc/%d/%s" % (pid, what), "rb") as f:
        return [p.decode() for p in f.read().split(b"\0")[:-1]]


def processes_of_bundle(root):
    """Pids of processes (other than zombies) that carry this bundle in their
    command line or environment: the server, the shell, PHP."""
    found = []
    for d in os.listdir("/proc"):
        if not d.isdigit() or int(d) == os.getpid():
            continue
        try:
            with open("/proc/%s/stat" % d) as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    continue
            text = "\0".join(read_list(int(d), "cmdline") + read_list(int(d), "environ"))
        except OSError:
            continue
        if root in text:
            found.append(int(d))
    return found


def wait_for_shell(srv, timeout=20):
    deadline = time.time() + timeout
    while time.time() < deadline:
        for c in children(srv.pid):
            try:
                if read_list(c, "cmdline")[0].endswith("/vexaview"):
                    return c
            except (OSError, IndexError):
                pass
        if srv.proc.poll() is not None:
            break
        time.sleep(0.02)
    raise e2e.E2EError("the server started no vexaview:\n" + srv.output())


def desk_bundle(build):
    # The bundle's own settings: desk mode, the shell as the browser, port 0
    # (the first free port of "startport".."endport", here one free port).
    return e2e.TestBundle(build, settings={"desk": True, "browser": "", "port": 0})


def one_run(x, build, screenshot=None, check=True):
    """Starts the server, waits for the sample page's title, closes the window.
    Returns the seconds from the server's start to the title."""
    with desk_bundle(build) as b:
        t0 = time.monotonic()
        srv = b.start([], env=x.env, wait=False)
        shell = wait_for_shell(srv)
        wid = x.wait_window(shell, timeout=30)
        x.wait_title(wid, SAMPLE_TITLE, timeout=30)
        elapsed = time.monotonic() - t0

        if check:
            url = srv.wait_for(e2e.READY_LINE).split(e2e.READY_LINE, 1)[1].strip()
            args = read_list(shell, "cmdline")
            assert args[0] == os.path.join(b.root, "vexadesk/bin/linux-x64/vvl/vexaview"), args
            assert args[1:] == ["--url=" + url, "--projpath=" + b.sample,
                                "--projtype=start.php"], args
            env = read_list(shell, "environ")
            tail = [e.split("=", 1)[0] for e in env[-6:]]
            assert tail == BROWSER_ENV, env[-6:]
            assert env[-1] == "VEXAURL=" + url
            assert env[-6] == "VEXA_EXECPATH=" + b.root
            # The page was served by the server, not just any page with that title.
            shot = os.path.join(b.root, "shot.png")
            deadline = time.time() + 15
            while True:
                x.screenshot(shot, wid)
                colors = x.colors(shot)
                if len(colors) > 8 or time.time() > deadline:
                    break
                time.sleep(0.2)
            assert len(colors) > 8, "the window looks blank: %r" % colors
            if screenshot:
                time.sleep(3)  # let the page's WebSocket connect first
                x.screenshot(screenshot, wid)

        x.close(wid)
        code = srv.wait_exit(timeout=30)
        out = srv.output()
        if check:
            assert code == 0, "exit code %s\n%s\n%s" % (code, out, srv.stderr_text())
            lines = out.splitlines()
            pos = [next((i for i, l in enumerate(lines) if l.strip() == want), -1)
                   for want in SHUTDOWN_LINES]
            assert -1 not in pos and pos == sorted(pos), "shutdown lines:\n" + out
            left = processes_of_bundle(b.root)
            assert not left, "processes left: %r" % [
                " ".join(read_list(p, "cmdline")) for p in left]
        return elapsed


def main():
    build = e2e.build_dir()
    if not os.path.isfile(os.path.join(build, "bundle/vexadesk/bin/linux-x64/vvl/vexaview")):
        print("no vexaview in", build)
        return 1
    measure = arg_value("--measure")
    screenshot = arg_value("--screenshot")
    with XDisplay() as x:
        if measure:
            times = [one_run(x, build, check=False) for _ in range(int(measure))]
            print("start-up to title, %d runs: median %.3f s (min %.3f, max %.3f)" % (
                len(times), statistics.median(times), min(times), max(times)))
            return 0
        elapsed = one_run(x, build, screenshot=screenshot)
        print("desktop mode: window with %r after %.2f s, clean shutdown" % (
            SAMPLE_TITLE, elapsed))
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except (AssertionError, subprocess.TimeoutExpired) as e:
        print("FAILED:", e)
        sys.exit(1)
