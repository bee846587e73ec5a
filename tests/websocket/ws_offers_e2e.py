#!/usr/bin/python3
"""Every permessage-deflate offer that a standards-following client may make,
from two independent client libraries (Python websockets, Node ws), with
compression on and off: the server's extension answer holds only what the
offer allows and the client accepts it, and messages of 0 B, 125 B, 126 B,
65,535 B, 65,536 B and 1 MiB come back exactly. Once through the engine's
echo server (the message on the wire has exactly that size) and once
through the real server and the sample's "wsecho" application (the echoed
text has that size). One server each, all connections at once.
Usage: ws_offers_e2e.py --build <build folder>."""

import asyncio
import json
import os
import pathlib
import shutil
import subprocess
import sys

import websockets
from websockets.extensions.permessage_deflate import ClientPerMessageDeflateFactory as Deflate

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parents[0] / "e2e"))
import vexa_e2e as e2e  # noqa: E402

SIZES = [0, 125, 126, 65535, 65536, 1024 * 1024]

# name, extension factory (None: compression off), expected answer ("": none)
PYTHON_CASES = [
    ("off", None, ""),
    ("default", "default", "permessage-deflate; client_max_window_bits=15"),
    ("no client_max_window_bits", Deflate(client_max_window_bits=None), "permessage-deflate"),
    ("server_max_window_bits=10", Deflate(server_max_window_bits=10),
     "permessage-deflate; server_max_window_bits=10; client_max_window_bits=15"),
    ("server_no_context_takeover", Deflate(server_no_context_takeover=True),
     "permessage-deflate; server_no_context_takeover; client_max_window_bits=15"),
    ("client_no_context_takeover", Deflate(client_no_context_takeover=True),
     "permessage-deflate; client_max_window_bits=15"),
    ("client_max_window_bits=9", Deflate(client_max_window_bits=9),
     "permessage-deflate; client_max_window_bits=9"),
    ("everything", Deflate(server_no_context_takeover=True, client_no_context_takeover=True,
                           server_max_window_bits=8, client_max_window_bits=10),
     "permessage-deflate; server_no_context_takeover; server_max_window_bits=8; "
     "client_max_window_bits=10"),
]

NODE_CASES = [
    {"name": "off", "offer": False, "answer": ""},
    {"name": "default", "offer": True, "answer": "permessage-deflate; client_max_window_bits=15"},
    {"name": "clientMaxWindowBits 10", "offer": {"clientMaxWindowBits": 10},
     "answer": "permessage-deflate; client_max_window_bits=10"},
    {"name": "serverMaxWindowBits 10", "offer": {"serverMaxWindowBits": 10},
     "answer": "permessage-deflate; server_max_window_bits=10; client_max_window_bits=15"},
    {"name": "serverNoContextTakeover", "offer": {"serverNoContextTakeover": True},
     "answer": "permessage-deflate; server_no_context_takeover; client_max_window_bits=15"},
    {"name": "clientNoContextTakeover", "offer": {"clientNoContextTakeover": True},
     "answer": "permessage-deflate; client_max_window_bits=15"},
]


def text_of(size):
    return ("abcdefghijklmnopqrstuvwxyz0123456789" * (size // 36 + 1))[:size]


def wrap(text, app):
    if not app:
        return text
    return json.dumps({"ctrl": "wsecho", "bdata": {"text": text}, "token": "t",
                       "typeappobj": "o", "evt": "e", "evtp": "p"})


def unwrap(reply, app):
    if not app:
        return reply
    assert reply.endswith(","), reply[:200]
    return json.loads(reply[:-1])["response"]["data"]["echo"]


async def python_case(url, app, name, factory, answer):
    kwargs = {"max_size": 64 * 1024 * 1024}
    if factory is None:
        kwargs["compression"] = None
    elif factory != "default":
        kwargs["extensions"] = [factory]
    async with websockets.connect(url, **kwargs) as ws:
        assert ws.response_headers.get("Sec-WebSocket-Extensions", "") == answer, \
            (name, ws.response_headers.get("Sec-WebSocket-Extensions"))
        assert [type(e).__name__ for e in ws.extensions] == \
            ([] if factory is None else ["PerMessageDeflate"]), name
        texts = (["first"] if app else []) + [text_of(n) for n in SIZES]
        for text in texts:
            await ws.send(wrap(text, app))
            got = unwrap(await asyncio.wait_for(ws.recv(), 240), app)
            assert got == text, (name, len(text), len(got))
        await ws.close(code=4001, reason="done")
        # The server answers with the client's own status code.
        assert ws.close_code == 4001, (name, ws.close_code)
    return f"python {name}: ok"


async def node_cases(url, app):
    env = dict(os.environ)
    env["NODE_PATH"] = "/usr/share/nodejs" + (":" + env["NODE_PATH"] if env.get("NODE_PATH") else "")
    proc = await asyncio.create_subprocess_exec(
        shutil.which("node") or "node", str(HERE / "ws_offers_client.js"), url,
        "app" if app else "raw", json.dumps(NODE_CASES), env=env,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = await asyncio.wait_for(proc.communicate(), 300)
    assert proc.returncode == 0, (out.decode(), err.decode())
    return out.decode().strip()


async def all_clients(url, app):
    results = await asyncio.gather(
        node_cases(url, app),
        *(python_case(url, app, *case) for case in PYTHON_CASES))
    print("\n".join(f"{'app' if app else 'engine'} {r}" for r in results))


async def main():
    build = pathlib.Path(e2e.build_dir())
    # The engine alone: messages of exactly the given sizes on the wire.
    echo = subprocess.Popen([str(build / "tests" / "websocket" / "ws_echo_server")],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        line = echo.stdout.readline().decode()
        assert line.startswith("PORT "), line
        await all_clients(f"ws://127.0.0.1:{int(line.split()[1])}/", False)
    finally:
        echo.stdin.close()
        try:
            echo.wait(timeout=10)
        except subprocess.TimeoutExpired:
            echo.kill()
            echo.wait()
    assert echo.returncode == 0, echo.returncode
    # The real server and the sample's echo application.
    with e2e.TestBundle(str(build), settings={"secure": 0}) as b:
        srv = b.start(["--port", str(b.port)])
        await all_clients(f"ws://127.0.0.1:{b.port}/", True)
        code, out = srv.stop()
        assert "WebSocket error" not in out and "DeCompress" not in out, out


if __name__ == "__main__":
    asyncio.run(main())
