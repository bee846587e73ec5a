#!/usr/bin/env python3
"""End-to-end tests of vexaserver's start-up, command line, browser launch and
shutdown, run against the real program in a private copy of the bundle.

    python3 startup_e2e.py --build BUILD_DIR --group cmdline|shutdown|browser|failures
"""

import json
import os
import pathlib
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "e2e"))
import vexa_e2e as e2e  # noqa: E402

BUILD = e2e.build_dir()
SHUTDOWN = ["Clean Exit", "Bye Bye", "Server Stopping", "Server Stopped"]
NO_LISTENER = "this build has no web server"


def check(cond, msg, srv=None):
    if not cond:
        extra = ""
        if srv is not None:
            extra = "\nstdout:\n%s\nstderr:\n%s" % (srv.output(), srv.stderr_text())
        raise AssertionError(msg + extra)


def project_line(srv):
    return srv.wait_for("Project Path:- ").split("Project Path:- ", 1)[1]


def start(b, args, **kw):
    kw.setdefault("wait", "line")
    return b.start(args, **kw)


def assert_clean_stop(srv, sig=signal.SIGINT):
    code, out = srv.stop(sig)
    check(code == 0, "exit code %s after %s" % (code, sig), srv)
    lines = out.splitlines()
    idx = [lines.index(l) for l in SHUTDOWN if l in lines]
    check(len(idx) == 4 and idx == sorted(idx), "shutdown lines missing or out of order", srv)
    return lines


def write_script(path, body):
    pathlib.Path(path).parent.mkdir(parents=True, exist_ok=True)
    # The bundle copy hard-links programs: replace the link, never write through it.
    if os.path.lexists(path):
        os.remove(path)
    with open(path, "w") as f:
        f.write("#!/bin/sh\n" + body)
    os.chmod(path, 0o755)
    return path


# A browser stand-in: records its arguments and its whole environment (in
# order, from /proc), then exits or sleeps as told by its second word.
RECORDER = """out="$VEXA_TEST_OUT"
printf '%s\\n' "$@" > "$out.args"
cat /proc/$$/environ > "$out.env"
echo $$ > "$out.pid"
if [ -n "$VEXA_TEST_SLEEP" ]; then exec sleep "$VEXA_TEST_SLEEP"; fi
exit 0
"""


def read_env(out):
    with open(out + ".env", "rb") as f:
        entries = [e.decode() for e in f.read().split(b"\0") if e]
    return entries


def read_args(out):
    with open(out + ".args") as f:
        return f.read().splitlines()


def wait_file(path, timeout=10):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(path) and os.path.getsize(path) > 0:
            return
        time.sleep(0.05)
    raise AssertionError("%s was never written" % path)


pid_alive = e2e.pid_alive


def make_phar(path, files):
    """Builds a real .phar archive holding `files` (name -> text) with PHP."""
    code = ("$p = new Phar($argv[1]); foreach (json_decode($argv[2], true) as $n => $t) "
            "{ $p->addFromString($n, $t); } $p->setStub('<?php __HALT_COMPILER();');")
    subprocess.run(["php", "-d", "phar.readonly=0", "-r", code, path, json.dumps(files)],
                   check=True, capture_output=True, timeout=30)


# ---------------------------------------------------------------------------
# Command line and project resolution

def test_bare_project_path():
    with e2e.TestBundle(BUILD) as b:
        proj = b.write_file("work/site/app.vexa", json.dumps({"name": "site"}))
        proj_dir = os.path.dirname(proj)
        srv = start(b, [proj_dir + "/"])
        check(project_line(srv) == proj_dir, "project folder", srv)
        assert_clean_stop(srv)


def test_port_option_switches_desk_off():
    # Desk mode on in the bundle; an option without "--desk" turns it off, so
    # no browser is started (the recorder would leave a file).
    with e2e.TestBundle(BUILD, settings={"desk": True, "browser": "/nonexistent/browser"}) as b:
        port = e2e.free_port()
        srv = start(b, ["--port", port], port=port)
        check(srv.url == "http://127.0.0.1:%d" % port, "URL %r" % srv.url, srv)
        check(project_line(srv) == b.sample, "sample project", srv)
        time.sleep(0.5)
        check("RunBrowser" not in srv.output(), "no browser outside desk mode", srv)
        assert_clean_stop(srv)


def test_desk_takes_the_next_word():
    # "--desk --port N": "--desk" consumes "--port", N is a lone word, the port
    # comes from the settings and desk mode stays on.
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        browser = write_script(b.path("tools/browser"), RECORDER)
        b.write_settings({"desk": True, "browser": browser, "browserparam": ["$url"]})
        other = e2e.free_port()
        env = dict(os.environ, VEXA_TEST_OUT=out)
        srv = start(b, ["--desk", "--port", other], env=env, wait="line")
        check(srv.port == b.port, "port from the settings, not %s" % other, srv)
        code = srv.wait_exit(15)  # the browser exits, so the server stops
        check(code == 0, "exit code %s" % code, srv)
        args = read_env(out)
        vexa_arg = json.loads([e for e in args if e.startswith("VEXA_ARG=")][-1].split("=", 1)[1])
        check(vexa_arg.get("--desk") == "--port" and vexa_arg.get(str(other)) == "",
              "options as parsed: %r" % vexa_arg, srv)
        check("--pfound" in vexa_arg and vexa_arg["--proj"].endswith("/res/proj1/app.vexa"),
              "marker and sample project: %r" % vexa_arg, srv)


def test_missing_vexa_file_serves_sample():
    with e2e.TestBundle(BUILD) as b:
        srv = start(b, ["--proj", os.path.join(b.root, "nowhere", "app.vexa")])
        check(project_line(srv) == b.sample, "sample project served", srv)
        assert_clean_stop(srv)


def test_phar_project_settings_from_archive():
    with e2e.TestBundle(BUILD) as b:
        port = e2e.free_port()
        phar = b.path("apps/it's here/site.phar")  # a quote in the path must not break the reader
        os.makedirs(os.path.dirname(phar))
        make_phar(phar, {"app.vexa": json.dumps({"port": port, "name": "in-phar"}), "index.html": "hi"})
        srv = start(b, ["--proj", phar], port=port)
        check(project_line(srv) == os.path.dirname(phar), "Project Path is the archive's folder", srv)
        check(srv.url == "http://127.0.0.1:%d" % port, "port from the archive's app.vexa", srv)
        check(not any(l.startswith(("Error:", "Error Sapp")) for l in srv.output().splitlines()),
              "the archive's settings read without an error", srv)
        assert_clean_stop(srv)


def test_regproj_maps_extension_to_bundle_folder():
    with e2e.TestBundle(BUILD, regproj={"tpl": {"openwith": "apps/tplview"}}) as b:
        port = e2e.free_port()
        b.write_file("apps/tplview/app.vexa", json.dumps({"port": port}))
        page = b.write_file("elsewhere/page.tpl", "x")
        srv = start(b, [page], port=port)
        check(project_line(srv) == b.path("apps/tplview"), "relative openwith is below the bundle", srv)
        check(srv.port == port, "the mapped project's settings were read", srv)
        assert_clean_stop(srv)


# ---------------------------------------------------------------------------
# Failures at start-up

def test_missing_settings_file_exits_217():
    with e2e.TestBundle(BUILD) as b:
        b.remove("vexadesk/conf/settings.json")
        srv = start(b, ["--port", b.port], wait=False)
        code = srv.wait_exit(10)
        check(code == 217, "exit code %s" % code, srv)
        err = srv.stderr_text().strip().splitlines()
        check(len(err) == 1 and "settings.json" in err[0], "one-line report naming the file", srv)
        check(e2e.READY_LINE not in srv.output(), "never served", srv)


def test_missing_host_exits_217():
    with e2e.TestBundle(BUILD, settings={"host": None}) as b:
        srv = start(b, [b.sample], wait=False)
        code = srv.wait_exit(10)
        check(code == 217, "exit code %s" % code, srv)
        check(e2e.READY_LINE not in srv.output(), "no running line without a host", srv)
        check("JSON Key not found." in srv.stderr_text(), "report carries the message", srv)


def test_port_in_use_ends_with_exit_1_and_no_browser():
    # Desk mode on a fixed port that another program listens on: the failure
    # line, no browser on that URL (it would show the other program), the
    # shutdown lines at once and exit code 1.
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        browser = write_script(b.path("tools/browser"), RECORDER)
        b.write_settings({"desk": True, "browser": browser, "browserparam": ["$url"]})
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", b.port))
            taken.listen(1)
            env = dict(os.environ, VEXA_TEST_OUT=out)
            srv = start(b, ["--desk", "x", "--port", b.port], env=env, wait="line")
            code = srv.wait_exit(10)
            check(code == 1, "exit code %s" % code, srv)
            lines = srv.output().splitlines()
            failed = [i for i, l in enumerate(lines) if l.startswith("Error Start Server Failed:- ")]
            check(len(failed) == 1 and len(lines[failed[0]]) > 28, "one failure line with a reason", srv)
            check(lines[failed[0] + 1:] == SHUTDOWN, "the shutdown lines right after it", srv)
            check(not os.path.exists(out + ".args"), "no browser was started", srv)
            check(lines.index(e2e.READY_LINE + srv.url) < failed[0], "the URL line before it", srv)


def test_relaunch_keeps_its_port():
    # Desk mode with "port" 0: a connection that the first run closed leaves
    # the port in TIME_WAIT; the second run, at once, must get the same port
    # (the same origin, so the page keeps its storage).
    with e2e.TestBundle(BUILD) as b:
        first = e2e.free_port()
        b.write_settings({"port": 0, "desk": True, "browser": "/nonexistent/browser",
                          "startport": first, "endport": first + 5})
        b.write_file("vexadesk/vendor/orvantphp/orvantphp/res/proj1/hello.txt", "hello")
        srv = start(b, [], port=first, wait=True)
        with socket.create_connection(("127.0.0.1", srv.port), timeout=5) as conn:
            conn.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: localhost\r\n\r\n")
            check(conn.recv(4096).startswith(b"HTTP/1.1 200"), "a reply", srv)
            assert_clean_stop(srv)  # the server closes the open connection first
            while conn.recv(4096):
                pass
        again = start(b, [], port=srv.port, wait=True)
        check(again.port == srv.port, "relaunch on %s, first run on %s" % (again.port, srv.port), again)
        assert_clean_stop(again)


def test_port_zero_in_desk_mode_probes_the_range():
    # "port" 0 in desk mode: the first port of startport..endport that binds.
    with e2e.TestBundle(BUILD) as b:
        for _ in range(20):
            taken = socket.socket()
            taken.bind(("127.0.0.1", 0))
            first = taken.getsockname()[1]
            try:
                with socket.socket() as probe:
                    probe.bind(("127.0.0.1", first + 1))
                break
            except OSError:
                taken.close()
        else:
            raise e2e.Skip("no free port after a taken one")
        with taken:
            b.write_settings({"port": 0, "desk": True, "browser": "/nonexistent/browser",
                              "startport": first, "endport": first + 1})
            srv = start(b, [], port=first + 1)
            check(srv.port == first + 1, "found %s, expected %s" % (srv.port, first + 1), srv)
            srv.wait_for("RunBrowser:- ")
            assert_clean_stop(srv)


# ---------------------------------------------------------------------------
# Shutdown

def shutdown_with(sig):
    with e2e.TestBundle(BUILD) as b:
        srv = start(b, ["--port", b.port], wait="line")
        time.sleep(0.3)
        t0 = time.monotonic()
        lines = assert_clean_stop(srv, sig)
        took = time.monotonic() - t0
        # The 400 ms pause after "Clean Exit" lies between the signal and
        # "Bye Bye": measured from the signal, a reader that a loaded machine
        # delays can only lengthen it (it may read both lines at once).
        pause = srv.time_of("Bye Bye") - t0
        check(pause >= 0.38, "400 ms between Clean Exit and Bye Bye, got %.3f after the signal" % pause, srv)
        check(took < 6, "shutdown took %.1fs" % took, srv)
        check(lines[-1] == "Server Stopped", "last line", srv)


def test_shutdown_on_sigint():
    shutdown_with(signal.SIGINT)


def test_shutdown_on_sigterm():
    shutdown_with(signal.SIGTERM)


def test_shutdown_on_sighup():
    shutdown_with(signal.SIGHUP)


def test_shutdown_with_open_connections():
    with e2e.TestBundle(BUILD) as b:
        b.write_file("vexadesk/vendor/orvantphp/orvantphp/res/proj1/hello.txt", "hello")
        srv = start(b, ["--port", b.port], wait="line")
        try:
            srv.wait_listening()
        except e2e.E2EError:
            if NO_LISTENER in srv.output():
                srv.stop()
                raise e2e.Skip("this build has no web server")
            raise
        keep = socket.create_connection(("127.0.0.1", b.port), timeout=5)
        keep.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n\r\n")
        reply = keep.recv(4096)
        check(reply.startswith(b"HTTP/1.1 200"), "keep-alive reply %r" % reply[:40], srv)
        half = socket.create_connection(("127.0.0.1", b.port), timeout=5)
        half.sendall(b"GET /hello.txt HTTP/1.1\r\nHost: loc")
        silent = socket.create_connection(("127.0.0.1", b.port), timeout=5)
        time.sleep(0.3)
        t0 = time.monotonic()
        assert_clean_stop(srv)
        check(time.monotonic() - t0 < 8, "no hang with open connections", srv)
        for s in (keep, half, silent):
            s.close()


# ---------------------------------------------------------------------------
# Browser launch

def desk_bundle(b, browser, params=None):
    values = {"desk": True, "browser": browser}
    if params is not None:
        values["browserparam"] = params
    b.write_settings(values)


def test_custom_browser_exit_stops_server():
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        write_script(b.path("tools/browser"), RECORDER)
        desk_bundle(b, "$exepath/tools/browser", ["$url", "--p=$projpath", "$exepath", 7])
        env = dict(os.environ, VEXA_TEST_OUT=out, VEXAURL="inherited")
        srv = start(b, [], env=env, wait="line")
        t0 = time.monotonic()
        code = srv.wait_exit(15)
        check(code == 0, "exit code %s" % code, srv)
        lines = srv.output().splitlines()
        check(all(l in lines for l in SHUTDOWN), "shutdown lines without a signal", srv)
        check(time.monotonic() - t0 < 5, "stopped soon after the browser", srv)
        args = read_args(out)
        check(args == [srv.url, "--p=" + b.sample, b.root, "7"], "arguments %r" % args, srv)
        env_out = read_env(out)
        names = [e.split("=", 1)[0] for e in env_out]
        check(names[-6:] == ["VEXA_EXECPATH", "VEXA_DESKPATH", "VEXA_PROJPATH", "VEXA_PROJDIR",
                             "VEXA_ARG", "VEXAURL"], "six entries last, in order: %r" % names[-8:], srv)
        tail = dict(e.split("=", 1) for e in env_out[-6:])
        check(tail["VEXA_EXECPATH"] == b.root and tail["VEXA_DESKPATH"] == b.root, "bundle root", srv)
        check(tail["VEXA_PROJPATH"] == b.sample and tail["VEXA_PROJDIR"] == b.sample, "project", srv)
        check(tail["VEXAURL"] == srv.url, "URL", srv)
        check(json.loads(tail["VEXA_ARG"])["--proj"].endswith("res/proj1/app.vexa"), "VEXA_ARG", srv)
        check(names.index("VEXAURL") < len(names) - 1 and "VEXAURL=inherited" in env_out,
              "inherited entry stays ahead of the added one", srv)


def test_signal_waits_for_an_open_browser():
    # Ctrl-C while a waited-for browser runs: the shutdown starts when it ends.
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        desk_bundle(b, write_script(b.path("tools/browser"), RECORDER), [])
        env = dict(os.environ, VEXA_TEST_OUT=out, VEXA_TEST_SLEEP="2")
        srv = start(b, [], env=env)
        wait_file(out + ".pid")
        t0 = time.monotonic()
        srv.send_signal(signal.SIGINT)
        check(srv.wait_exit(15) == 0, "exit code", srv)
        check(srv.time_of("Clean Exit") - t0 > 1.2, "shutdown began before the browser ended", srv)


def test_shell_gets_three_arguments():
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        write_script(b.path("vexadesk/bin/linux-x64/vvl/vexaview"), RECORDER)
        desk_bundle(b, "")
        port = e2e.free_port()
        phar = b.path("apps/site.phar")
        os.makedirs(os.path.dirname(phar))
        make_phar(phar, {"app.vexa": json.dumps({"port": port, "desk": True})})
        env = dict(os.environ, VEXA_TEST_OUT=out)
        srv = start(b, [phar, "x"], env=env, wait="line", port=port)
        check(srv.wait_exit(15) == 0, "the shell's end stops the server", srv)
        args = read_args(out)
        check(args == ["--url=" + srv.url, "--projpath=" + phar, "--projtype=start.php"],
              "shell arguments %r" % args, srv)
        tail = dict(e.split("=", 1) for e in read_env(out)[-6:])
        check(tail["VEXA_PROJPATH"] == phar and tail["VEXA_PROJDIR"] == os.path.dirname(phar),
              "archive and its folder", srv)


def test_missing_shell_keeps_serving():
    with e2e.TestBundle(BUILD) as b:
        shell = b.path("vexadesk/bin/linux-x64/vvl/vexaview")
        if os.path.lexists(shell):
            os.remove(shell)
        desk_bundle(b, "")
        srv = start(b, [], wait="line")
        line = srv.wait_for("RunBrowser:- ")
        check(line.startswith("Error: RunBrowser:- "), line, srv)
        time.sleep(1.2)
        check(srv.proc.poll() is None, "still serving", srv)
        assert_clean_stop(srv)


def test_chrome_kind_uses_app_mode():
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        tools = b.path("pathbin")
        write_script(os.path.join(tools, "google-chrome"), RECORDER)
        desk_bundle(b, "chrome")
        env = dict(os.environ, VEXA_TEST_OUT=out, PATH=tools + ":" + os.environ.get("PATH", ""))
        srv = start(b, [], env=env, wait="line")
        check(srv.wait_exit(15) == 0, "chrome's end stops the server", srv)
        check(read_args(out) == ["--app=" + srv.url, "--disable-features=ProcessPerTab"],
              "chrome arguments", srv)


# A stand-in xdg-open that, like the real one often does, stays in the
# foreground as the parent of the browser it started.
STAYING_XDG_OPEN = """printf '%s\\n' "$@" > "$VEXA_TEST_OUT.args"
sleep 60 &
echo $! > "$VEXA_TEST_OUT.child.tmp" && mv "$VEXA_TEST_OUT.child.tmp" "$VEXA_TEST_OUT.child"
echo $$ > "$VEXA_TEST_OUT.tmp" && mv "$VEXA_TEST_OUT.tmp" "$VEXA_TEST_OUT.pid"
wait
"""


def proc_stat(pid):
    """(state, parent pid, session id) of a process, or None when it is gone."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
    except FileNotFoundError:
        return None
    return fields[0], int(fields[1]), int(fields[3])


def test_default_browser_runs_detached_and_outlives_the_server():
    with e2e.TestBundle(BUILD) as b:
        out = os.path.join(b.root, "rec")
        tools = b.path("pathbin")
        write_script(os.path.join(tools, "xdg-open"), STAYING_XDG_OPEN)
        desk_bundle(b, "default")
        env = dict(os.environ, VEXA_TEST_OUT=out, PATH=tools + ":" + os.environ.get("PATH", ""))
        srv = start(b, [], env=env, wait="line")
        wait_file(out + ".pid")
        wait_file(out + ".child")
        pid = int(open(out + ".pid").read())
        child = int(open(out + ".child").read())
        try:
            check(read_args(out) == [srv.url], "xdg-open URL", srv)
            _, parent, session = proc_stat(pid)
            check(session == pid and session != os.getsid(srv.pid), "a session of its own", srv)
            check(parent != srv.pid, "not the server's child (its starter was reaped)", srv)
            time.sleep(0.5)
            check(srv.proc.poll() is None, "the server does not wait for the default browser", srv)
            assert_clean_stop(srv)
            for p, what in ((pid, "launcher"), (child, "browser")):
                check(pid_alive(p), "the user's %s still runs after the server's Ctrl-C" % what, srv)
        finally:
            for p in (pid, child):
                try:
                    os.kill(p, signal.SIGKILL)
                except ProcessLookupError:
                    pass


def test_browser_errors_reach_the_console():
    # A waited-for browser that cannot open its window: its own message on the
    # server's standard error, and one line about its exit code.
    with e2e.TestBundle(BUILD) as b:
        browser = write_script(b.path("tools/browser"),
                               "echo 'browser: cannot open a window (no display?)' >&2\nexit 1\n")
        desk_bundle(b, browser, [])
        srv = start(b, [], wait="line")
        code = srv.wait_exit(15)
        check(code == 0, "exit code %s" % code, srv)
        check("browser: cannot open a window (no display?)" in srv.stderr_text().splitlines(),
              "the browser's own message", srv)
        lines = srv.output().splitlines()
        ended = [l for l in lines if "exit code" in l]
        check(ended == ["Browser program ended with exit code 1"], "one exit line: %r" % ended, srv)
        check(lines.index(ended[0]) < lines.index("Clean Exit"), "before the shutdown lines", srv)


GROUPS = {
    "cmdline": [test_bare_project_path, test_port_option_switches_desk_off,
                test_desk_takes_the_next_word, test_missing_vexa_file_serves_sample,
                test_phar_project_settings_from_archive,
                test_regproj_maps_extension_to_bundle_folder],
    "failures": [test_missing_settings_file_exits_217, test_missing_host_exits_217,
                 test_port_in_use_ends_with_exit_1_and_no_browser,
                 test_port_zero_in_desk_mode_probes_the_range, test_relaunch_keeps_its_port],
    "shutdown": [test_shutdown_on_sigint, test_shutdown_on_sigterm, test_shutdown_on_sighup,
                 test_shutdown_with_open_connections],
    "browser": [test_custom_browser_exit_stops_server, test_signal_waits_for_an_open_browser,
                test_shell_gets_three_arguments,
                test_missing_shell_keeps_serving, test_chrome_kind_uses_app_mode,
                test_default_browser_runs_detached_and_outlives_the_server,
                test_browser_errors_reach_the_console],
}


def main():
    group = None
    if "--group" in sys.argv:
        group = sys.argv[sys.argv.index("--group") + 1]
    funcs = GROUPS[group] if group else [f for g in GROUPS.values() for f in g]
    only = os.environ.get("VEXA_TEST_ONLY")
    if only:
        funcs = [f for f in funcs if only in f.__name__]
    return e2e.run_tests(funcs)


if __name__ == "__main__":
    sys.exit(main())
