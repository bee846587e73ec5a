"""End-to-end support: run the real vexaserver from a private copy of the bundle.

Small API, for every end-to-end test script of the tree:

    import sys, pathlib
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
    import vexa_e2e as e2e

    build = e2e.build_dir()                  # from "--build DIR" (CTest passes it)
    with e2e.TestBundle(build, settings={"secure": 0}) as b:
        srv = b.start(["--port", str(b.port)])   # waits for "Web server running on port "
        ... talk to srv.url / b.port ...
        code, out = srv.stop()               # SIGINT, waits, returns (exit code, stdout)

TestBundle(build, settings=None, regproj=None, keep=False)
    A temporary copy of BUILD/bundle (vexaserver, conf, PHP link, framework
    stand-in).  `settings` is merged over the copy's conf/settings.json; the
    defaults for tests are host 127.0.0.1, a free "port", "desk" false, and a
    free one-port "startport"/"endport" range, so nothing ever falls back to
    8000.  A value None removes that member.  `regproj` replaces regproj.json.
    Attributes: root (the copy, = the server's ExePath), exe, conf, port,
    sample (the sample project folder).  Helpers: write_settings(dict),
    write_file(relpath, text, mode=None), remove(relpath).  The folder is
    deleted on exit, and every server started from it is killed.
    b.start(args=(), cwd=None, env=None, wait=True, timeout=20, port=None) -> Server
        args are passed as text; cwd defaults to the bundle's temporary
        folder, env to this process's environment.  wait=True waits for the "Web server running on port " line and then
        for the port to accept a connection (failing at once on an "Error
        Start Server Failed:- " line); wait="line" only for the line;
        wait=False returns at once.

Server
    proc, pid, port, url (the "hosturl" the server printed), lines (stdout
    lines so far), times (arrival time of each line, time.monotonic()),
    output() (stdout so far as one text), stderr_text().
    wait_for(text, timeout=10) -> the first stdout line containing text
        (raises E2EError with the output so far when it does not come).
    wait_exit(timeout=10) -> exit code (raises E2EError on timeout).
    time_of(text) -> arrival time of the first line containing text (or None).
    send_signal(sig) sends a signal to the server process only.
    stop(sig=SIGINT, timeout=15) -> (exit code, stdout text).
    kill() ends the server's whole process group at once.

free_port() -> a TCP port on 127.0.0.1 that was free a moment ago.
build_dir() -> the folder given by "--build" (default: ./build).
run_tests(funcs) -> runs test functions, prints "N passed, N failed,
    N skipped", returns the process exit code (for scripts without a
    framework); a test raises Skip("why") to be counted as skipped.

Servers run in their own session (process group), so a test's Ctrl-C does not
reach them and kill() can end them with everything they started.  Anything
still running when the bundle closes is killed, also after a failed test.
"""

import json
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

# Time bounds of the tests stretch under a sanitizer, whose builds run several
# times slower; the faults they catch are far past the stretched bound.
SLOW = 4.0 if any(os.environ.get(v) for v in ("ASAN_OPTIONS", "TSAN_OPTIONS")) else 1.0
import traceback

READY_LINE = "Web server running on port "
START_FAILED = "Error Start Server Failed:- "



def memory_mib(pid, key):
    """VmRSS or VmHWM of a process, in MiB."""
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) / 1024
    return -1

def pid_alive(pid):
    """Whether a process runs (a zombie does not)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


class E2EError(AssertionError):
    pass


class Skip(Exception):
    """Raise from a test run by run_tests to count it as skipped."""


def build_dir():
    argv = sys.argv
    for i, a in enumerate(argv):
        if a == "--build" and i + 1 < len(argv):
            return os.path.abspath(argv[i + 1])
        if a.startswith("--build="):
            return os.path.abspath(a.split("=", 1)[1])
    return os.path.abspath("build")


def _ephemeral_ports():
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            low, high = (int(x) for x in f.read().split())
        return low, high
    except (OSError, ValueError):
        return 32768, 60999


def free_port():
    """A port that a server of the tests may bind: free now, and below the
    range the kernel hands out to outgoing connections, so that none of the
    many client connections of the tests (of this run or of one beside it)
    takes it before the server binds it."""
    low, _ = _ephemeral_ports()
    for _ in range(500):
        port = random.randint(min(20000, low - 1000), low - 1)
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _copy_tree(src, dst):
    # Symbolic links stay links (the PHP link points at the system's PHP).
    # Programs are hard-linked when possible (tests never write them); every
    # other file is copied, so a test may change its copy freely.
    def link_or_copy(s, d):
        if os.access(s, os.X_OK):
            try:
                os.link(s, d)
                return
            except OSError:
                pass
        shutil.copy2(s, d)
    shutil.copytree(src, dst, symlinks=True, copy_function=link_or_copy)


class Server:
    def __init__(self, args, cwd, env, port):
        self.port = port
        self.url = None
        self.lines = []
        self.times = []  # time.monotonic() at which each stdout line arrived
        self._err = []
        self._cond = threading.Condition()
        self._eof = 0
        self.proc = subprocess.Popen(
            args, cwd=cwd, env=env, stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE,
            start_new_session=True)
        self.pid = self.proc.pid
        self._readers = [
            threading.Thread(target=self._read, args=(self.proc.stdout, self.lines), daemon=True),
            threading.Thread(target=self._read, args=(self.proc.stderr, self._err), daemon=True),
        ]
        for t in self._readers:
            t.start()

    def _read(self, stream, sink):
        for raw in iter(stream.readline, b""):
            line = raw.decode("utf-8", "replace").rstrip("\r\n")
            with self._cond:
                if sink is self.lines:
                    self.times.append(time.monotonic())
                sink.append(line)
                self._cond.notify_all()
        with self._cond:
            self._eof += 1
            self._cond.notify_all()

    def output(self):
        with self._cond:
            return "\n".join(self.lines)

    def lines_since(self, t0):
        """(monotonic time, line) of each stdout line that came at t0 or later."""
        with self._cond:
            return [(t, line) for t, line in zip(self.times, self.lines) if t >= t0]

    def stderr_text(self):
        with self._cond:
            return "\n".join(self._err)

    def _describe(self):
        return "stdout:\n%s\nstderr:\n%s" % (self.output(), self.stderr_text())

    def wait_for(self, text, timeout=10):
        deadline = time.monotonic() + timeout
        with self._cond:
            seen = 0
            while True:
                for line in self.lines[seen:]:
                    if text in line:
                        return line
                seen = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0 or self._eof >= 2:
                    break
                self._cond.wait(min(left, 0.2))
        raise E2EError("no line with %r within %ss\n%s" % (text, timeout, self._describe()))

    def time_of(self, text):
        """Arrival time of the first stdout line containing text, or None."""
        with self._cond:
            for line, t in zip(self.lines, self.times):
                if text in line:
                    return t
        return None

    def wait_listening(self, timeout=10):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None or START_FAILED in self.output():
                break
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                    return
            except OSError:
                time.sleep(0.05)
        raise E2EError("port %s never accepted\n%s" % (self.port, self._describe()))

    def wait_exit(self, timeout=10):
        try:
            code = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise E2EError("server still running after %ss\n%s" % (timeout, self._describe()))
        self._join_readers()
        return code

    def _join_readers(self):
        for t in self._readers:
            t.join(5)

    def send_signal(self, sig):
        if self.proc.poll() is None:
            os.kill(self.pid, sig)

    def stop(self, sig=signal.SIGINT, timeout=15):
        """Signals the server and waits for its end: `timeout` seconds in the
        plain build, stretched like every wait under a sanitizer."""
        self.send_signal(sig)
        try:
            code = self.wait_exit(timeout * SLOW)
        except E2EError:
            self.kill()
            raise
        return code, self.output()

    def kill(self):
        if self.proc.poll() is None:
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait()
        self._join_readers()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        return False


class TestBundle:
    def __init__(self, build, settings=None, regproj=None, keep=False):
        src = os.path.join(build, "bundle")
        if not os.path.isfile(os.path.join(src, "vexadesk", "bin", "vexaserver")):
            raise E2EError("no built server in %s" % src)
        self._tmp = tempfile.mkdtemp(prefix="vexa-e2e-")
        self._keep = keep
        self.root = os.path.join(self._tmp, "bundle")
        _copy_tree(src, self.root)
        self.exe = os.path.join(self.root, "vexadesk", "bin", "vexaserver")
        self.conf = os.path.join(self.root, "vexadesk", "conf")
        self.sample = os.path.join(self.root, "vexadesk", "vendor", "orvantphp",
                                   "orvantphp", "res", "proj1")
        self.port = free_port()
        self.servers = []
        merged = {"host": "127.0.0.1", "port": self.port, "desk": False,
                  "startport": self.port, "endport": self.port}
        merged.update(settings or {})
        self.write_settings(merged)
        if regproj is not None:
            self.write_file("vexadesk/conf/regproj.json", json.dumps(regproj))

    # -- files -------------------------------------------------------------
    def path(self, rel):
        return os.path.join(self.root, rel)

    def settings(self):
        with open(os.path.join(self.conf, "settings.json")) as f:
            return json.load(f)

    def write_settings(self, values):
        """Merges `values` over conf/settings.json; None removes a member."""
        name = os.path.join(self.conf, "settings.json")
        try:
            with open(name) as f:
                current = json.load(f)
        except (OSError, ValueError):
            current = {}
        for k, v in values.items():
            if v is None:
                current.pop(k, None)
            else:
                current[k] = v
        self._replace(name, json.dumps(current, indent=2))

    def write_file(self, rel, text, mode=None):
        name = self.path(rel)
        os.makedirs(os.path.dirname(name), exist_ok=True)
        self._replace(name, text)
        if mode is not None:
            os.chmod(name, mode)
        return name

    def remove(self, rel):
        os.remove(self.path(rel))

    @staticmethod
    def _replace(name, text):
        # Never write through a hard link into the build's own bundle.
        if os.path.lexists(name):
            os.remove(name)
        with open(name, "w" if isinstance(text, str) else "wb") as f:
            f.write(text)

    # -- servers -----------------------------------------------------------
    def start(self, args=(), cwd=None, env=None, wait=True, timeout=20, port=None):
        srv = Server([self.exe] + [str(a) for a in args], cwd or self._tmp,
                     env if env is not None else dict(os.environ), port or self.port)
        self.servers.append(srv)
        if wait:
            try:
                line = srv.wait_for(READY_LINE, timeout)
                srv.url = line.split(READY_LINE, 1)[1].strip()
                srv.port = int(srv.url.rsplit(":", 1)[1])
                if wait != "line":
                    srv.wait_listening(timeout)
            except Exception:
                srv.kill()
                raise
        return srv

    def close(self):
        for s in self.servers:
            s.kill()
        if not self._keep:
            shutil.rmtree(self._tmp, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False


def run_tests(funcs):
    """Runs each test function, printing a line per test and a closing count."""
    passed = failed = skipped = 0
    for f in funcs:
        t0 = time.monotonic()
        try:
            f()
        except Skip as e:
            skipped += 1
            print("skip %s: %s" % (f.__name__, e))
        except Exception:
            failed += 1
            print("FAIL %s (%.1fs)" % (f.__name__, time.monotonic() - t0))
            traceback.print_exc()
        else:
            passed += 1
            print("ok   %s (%.1fs)" % (f.__name__, time.monotonic() - t0))
        sys.stdout.flush()
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    return 0 if failed == 0 else 1
