"""Benchmark of application pages: the sample project's start page through
vexaserver against the same PHP script spawned directly with the same
environment, and against lighttpd + php-cgi (one process per request) and
PHP's built-in server serving an equivalent plain PHP page. All in one run.

    python3 bench/pages/run_bench.py [--build BUILD] [--n 300] [--seconds 5] [--clients 64]

Needs a built bundle (cmake --build BUILD), g++, lighttpd, php-cgi and wrk
(scripts/setup installs them). Everything runs on 127.0.0.1 and ends with
the script.
"""

import argparse
import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[1] / "tests" / "e2e"))
import vexa_e2e as e2e  # noqa: E402


def hexjson(text):
    return text.encode().hex().upper()


def run_json(cmd, env=None):
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True, timeout=600).stdout
    return json.loads(out.strip().splitlines()[-1])


def wait_port(port, timeout=10):
    import socket
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("port %d never accepted" % port)


def wrk(port, path, clients, seconds):
    if not shutil.which("wrk"):
        return None
    out = subprocess.run(["wrk", "-t4", "-c%d" % clients, "-d%ds" % seconds, "--latency",
                          "http://127.0.0.1:%d%s" % (port, path)],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    errs = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    sock = re.search(r"Socket errors: (.*)", out)
    return {"rps": float(m.group(1)) if m else None, "non2xx": int(errs.group(1)) if errs else 0,
            "socket_errors": sock.group(1) if sock else ""}


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--n", type=int, default=400, help="sequential requests per target for the latency figures")
    ap.add_argument("--seconds", type=float, default=8, help="throughput time per target, over all rounds")
    ap.add_argument("--clients", type=int, default=64)
    ap.add_argument("--rounds", type=int, default=4, help="turns the targets take in each measurement")
    args = ap.parse_args()
    build = os.path.abspath(args.build)

    tmp = tempfile.mkdtemp(prefix="vexa-bench-")
    procs = []
    try:
        driver = os.path.join(tmp, "pages_bench")
        subprocess.run(["g++", "-O2", "-std=c++20", "-pthread", str(HERE / "pages_bench.cpp"), "-o", driver],
                       check=True)
        with e2e.TestBundle(build) as b:
            srv = b.start(["--port", str(b.port)])
            port = srv.port
            php = os.path.realpath(os.path.join(b.root, "vexadesk", "bin", "linux-x64", "php", "php"))

            # The same process the server starts for GET /, with the same environment.
            host = "127.0.0.1:%d" % port
            idata = ('{ "Method" : "GET", "URL" : "http://%s", "Server" : { "HTTP_Host" : "%s", "HTTPS" : "0", '
                     '"REMOTE_ADDR" : "127.0.0.1", "REMOTE_PORT" : "", "HTTP_HOST" : "%s", "PHP_SELF" : "/", '
                     '"SCRIPT_NAME" : "%s/start.php", "SCRIPT_FILENAME" : "%s/start.php" }, '
                     '"Header" : { "vexa" : "4" } }') % (host, host, host, b.sample, b.sample)
            cdata = '{ "postdata" : {}, "sargv" : { "--port" : "%d" } }' % port
            env = dict(os.environ)
            env.update({"VEXA_EXECPATH": b.root, "VEXA_PROJPATH": b.sample, "VEXA_PROJDIR": b.sample,
                        "idata": hexjson(idata), "cdata": hexjson(cdata), "bcookies": hexjson("{}")})
            shared = os.path.join(b.root, "vexadesk", "vendor", "orvantphp", "orvantphp")
            spawn = [driver, "spawn", php, "-f", b.sample + "/start.php", "-", "--aroot", b.root,
                     "--sharedpath", shared, "--ctrl", "index", "--evt", "", "--evtp", "", "--droot", b.sample, "--"]

            # The equivalent plain page for the comparison servers.
            www = os.path.join(tmp, "www")
            os.makedirs(www)
            with open(os.path.join(www, "index.php"), "w") as f:
                f.write("<?php\nconst VEXA_SAMPLE = %s;\nrequire %s;\n"
                        % (json.dumps(b.sample), json.dumps(str(HERE / "plain_index.php"))))

            lport = e2e.free_port()
            conf = os.path.join(tmp, "lighttpd.conf")
            with open(conf, "w") as f:
                f.write('server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
                        'server.modules = ("mod_cgi")\ncgi.assign = (".php" => "%s")\n'
                        'index-file.names = ("index.php")\nserver.errorlog = "%s"\nserver.max-fds = 4096\n'
                        % (www, lport, shutil.which("php-cgi") or "/usr/bin/php-cgi",
                           os.path.join(tmp, "lighttpd.err")))
            procs.append(subprocess.Popen(["lighttpd", "-D", "-f", conf], start_new_session=True))
            sport = e2e.free_port()
            procs.append(subprocess.Popen([php, "-S", "127.0.0.1:%d" % sport, "-t", www], start_new_session=True,
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            wait_port(lport)
            wait_port(sport)

            # The four targets take turns in short rounds, so that a change of
            # the machine's load during the run touches all of them alike.
            targets = {
                "server": ([driver, "http", str(port), "/"], None),
                "direct": (spawn, env),
                "lighttpd": ([driver, "http", str(lport), "/index.php"], None),
                "phps": ([driver, "http", str(sport), "/index.php"], None),
            }
            rounds = max(1, args.rounds)
            samples = {k: [] for k in targets}
            errors = {k: 0 for k in targets}
            done = {k: 0 for k in targets}
            elapsed = {k: 0.0 for k in targets}
            for _ in range(rounds):
                for k, (cmd, e) in targets.items():
                    res = run_json(cmd + ["latency", str(max(1, args.n // rounds))], e)
                    samples[k] += res["samples"]
                    errors[k] += res["errors"]
            for _ in range(rounds):
                for k, (cmd, e) in targets.items():
                    res = run_json(cmd + ["rate", str(args.clients), str(args.seconds / rounds)], e)
                    done[k] += res["done"]
                    elapsed[k] += res["seconds"]
                    errors[k] += res["errors"]
            r = {}
            for k in targets:
                ms = sorted(samples[k])
                r[k + "_latency"] = {"n": len(ms), "median_ms": ms[len(ms) // 2],
                                     "p99_ms": ms[min(len(ms) - 1, int(len(ms) * 0.99))]}
                r[k + "_rate"] = {"done": done[k], "seconds": round(elapsed[k], 2), "rps": done[k] / elapsed[k]}
                r[k + "_errors"] = errors[k]
            w = max(1, int(args.seconds / 2))
            r["wrk"] = {"server": wrk(port, "/", args.clients, w), "lighttpd": wrk(lport, "/index.php", args.clients, w),
                        "phps": wrk(sport, "/index.php", args.clients, w)}
            srv.stop()

        lat_ratio = r["server_latency"]["median_ms"] / r["direct_latency"]["median_ms"]
        rate_ratio = r["server_rate"]["rps"] / r["direct_rate"]["rps"]
        vs_lighttpd = r["server_rate"]["rps"] / r["lighttpd_rate"]["rps"]
        print(json.dumps(r, indent=2))
        print()
        print("%-34s %10s %10s %10s" % ("sample index page", "median ms", "p99 ms", "req/s @%d" % args.clients))
        for key, name in (("server", "vexaserver (HTTP)"), ("direct", "same PHP spawned directly"),
                          ("lighttpd", "lighttpd + php-cgi (CGI)"), ("phps", "php -S (reference)")):
            lat, rate = r[key + "_latency"], r[key + "_rate"]
            print("%-34s %10.2f %10.2f %10.1f" % (name, lat["median_ms"], lat["p99_ms"], rate["rps"]))
        print()
        print("median latency ratio server/direct: %.3f (target <= 1.15) %s"
              % (lat_ratio, "OK" if lat_ratio <= 1.15 else "MISSED"))
        print("throughput ratio server/direct:     %.3f (target >= 0.9)  %s"
              % (rate_ratio, "OK" if rate_ratio >= 0.9 else "MISSED"))
        print("throughput ratio server/lighttpd:   %.3f (target >= 1.0)  %s"
              % (vs_lighttpd, "OK" if vs_lighttpd >= 1.0 else "MISSED"))
        errors = sum(v for k, v in r.items() if k.endswith("_errors"))
        print("errors: %d" % errors)
        return 0
    finally:
        for p in procs:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            p.wait()
        shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
