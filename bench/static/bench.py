#!/usr/bin/env python3
"""Static file throughput: vexaserver against nginx and PHP's built-in server.

All three serve the same folder on loopback; wrk loads each with 64
keep-alive connections asking for one 4 KiB file. Prints requests/s per
server and the two ratios.

    python3 bench/static/bench.py [--build BUILD_DIR] [--seconds 10] [--threads 4]

Needs wrk, nginx (nginx-light) and php on PATH; scripts/setup installs them.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc, timeout=15):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("server ended early: %s" % " ".join(proc.args))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("port %d never opened" % port)


def stop(proc):
    if proc.poll() is None:
        os.killpg(proc.pid, signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()


def run_wrk(url, seconds, threads):
    # Warm-up, then the measured run.
    subprocess.run(["wrk", "-t", str(threads), "-c", "64", "-d", "1s", url],
                   capture_output=True, timeout=60)
    out = subprocess.run(["wrk", "-t", str(threads), "-c", "64", "-d", "%ds" % seconds, url],
                         capture_output=True, text=True, timeout=seconds + 60).stdout
    m = re.search(r"Requests/sec:\s+([\d.]+)", out)
    if not m:
        raise RuntimeError("no figure from wrk:\n" + out)
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if errors:
        raise RuntimeError("%s: %s failed responses" % (url, errors.group(1)))
    return float(m.group(1))


NGINX_CONF = """
worker_processes {workers};
pid {tmp}/nginx.pid;
error_log {tmp}/nginx-error.log;
daemon off;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_requests 1000000;
  client_body_temp_path {tmp}/body;
  proxy_temp_path {tmp}/proxy;
  fastcgi_temp_path {tmp}/fastcgi;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  types {{ text/plain txt; }}
  server {{
    listen 127.0.0.1:{port};
    root {root};
  }}
}}
"""


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seconds", type=int, default=10)
    ap.add_argument("--threads", type=int, default=4)
    ap.add_argument("--nginx-workers", default="auto")
    args = ap.parse_args()
    args.seconds = max(1, min(args.seconds, 120))  # bounded load

    exe = os.path.join(os.path.abspath(args.build), "bundle", "vexadesk", "bin", "vexaserver")
    for tool in ("wrk", "nginx", "php"):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            sys.exit("bench: %s is missing (run scripts/setup)" % tool)
    if not os.path.exists(exe):
        sys.exit("bench: no vexaserver in %s" % exe)
    nginx = shutil.which("nginx") or "/usr/sbin/nginx"

    tmp = tempfile.mkdtemp(prefix="vexa-bench-static-")
    os.chmod(tmp, 0o755)  # nginx workers may run as another user
    root = os.path.join(tmp, "site")
    os.makedirs(root)
    with open(os.path.join(root, "file.txt"), "wb") as f:
        f.write(bytes((i * 7 + 13) % 95 + 32 for i in range(4096)))
    with open(os.path.join(root, "app.vexa"), "w") as f:
        f.write('{"name": "bench"}')
    for d, _, files in os.walk(tmp):
        os.chmod(d, 0o755)
        for n in files:
            os.chmod(os.path.join(d, n), 0o644)

    procs = []
    results = {}
    try:
        # vexaserver in server mode, the project and port named by options.
        port = free_port()
        vexa = subprocess.Popen([exe, "--proj", os.path.join(root, "app.vexa"), "--port", str(port)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL, start_new_session=True)
        procs.append(vexa)
        wait_port(port, vexa)
        results["vexaserver"] = run_wrk("http://127.0.0.1:%d/file.txt" % port, args.seconds, args.threads)
        stop(vexa)

        port = free_port()
        conf = os.path.join(tmp, "nginx.conf")
        with open(conf, "w") as f:
            f.write(NGINX_CONF.format(tmp=tmp, port=port, root=root, workers=args.nginx_workers))
        ngx = subprocess.Popen([nginx, "-c", conf, "-p", tmp], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                               start_new_session=True)
        procs.append(ngx)
        wait_port(port, ngx)
        results["nginx"] = run_wrk("http://127.0.0.1:%d/file.txt" % port, args.seconds, args.threads)
        stop(ngx)

        port = free_port()
        php = subprocess.Popen(["php", "-S", "127.0.0.1:%d" % port, "-t", root],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                               stdin=subprocess.DEVNULL, start_new_session=True)
        procs.append(php)
        wait_port(port, php)
        results["php -S"] = run_wrk("http://127.0.0.1:%d/file.txt" % port, args.seconds, args.threads)
        stop(php)
    finally:
        for p in procs:
            stop(p)
        shutil.rmtree(tmp, ignore_errors=True)

    print("static 4 KiB file, 64 keep-alive connections, %d s, wrk -t%d" % (args.seconds, args.threads))
    for name, rps in results.items():
        print("  %-10s %12.0f requests/s" % (name, rps))
    print("  vexaserver / nginx  = %.2fx (target >= 0.6x)" % (results["vexaserver"] / results["nginx"]))
    print("  vexaserver / php -S = %.2fx (target >= 5x)" % (results["vexaserver"] / results["php -S"]))


if __name__ == "__main__":
    main()
