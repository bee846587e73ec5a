"""A small blocking RFC 6455 client for the tests, plus process helpers.

It speaks the wire itself (handshake, masked client frames, server frames),
so the tests check the server against the protocol, not against its own code.
"""

import base64
import hashlib
import json
import os
import shutil
import socket
import ssl
import struct
import time

GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"


class Closed(Exception):
    pass


class WsClient:
    def __init__(self, port, headers=None, timeout=10.0, secure=False, rcvbuf=None):
        """secure: over TLS (wss://); rcvbuf: the socket's receive buffer, set
        before it connects, so that a client that does not read holds up the
        server's writes soon."""
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        sock.settimeout(timeout)
        sock.connect(("127.0.0.1", port))
        if secure:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
            ctx.check_hostname = False
            ctx.verify_mode = ssl.CERT_NONE
            sock = ctx.wrap_socket(sock)
        self.sock = sock
        key = base64.b64encode(os.urandom(16)).decode()
        lines = [
            "GET / HTTP/1.1",
            f"Host: 127.0.0.1:{port}",
            "Upgrade: websocket",
            "Connection: Upgrade",
            f"Sec-WebSocket-Key: {key}",
            "Sec-WebSocket-Version: 13",
        ]
        # A dict, or a list of (name, value) pairs when a name repeats.
        pairs = headers.items() if isinstance(headers, dict) else (headers or [])
        for name, value in pairs:
            lines.append(f"{name}: {value}")
        self.sock.sendall(("\r\n".join(lines) + "\r\n\r\n").encode())
        self.buf = b""
        while b"\r\n\r\n" not in self.buf:
            chunk = self.sock.recv(4096)
            if not chunk:
                raise Closed("closed during the handshake")
            self.buf += chunk
        head, self.buf = self.buf.split(b"\r\n\r\n", 1)
        status = head.split(b"\r\n")[0]
        if b" 101 " not in status:
            raise AssertionError(f"handshake refused: {head!r}")
        accept = base64.b64encode(hashlib.sha1((key + GUID).encode()).digest())
        if b"Sec-WebSocket-Accept: " + accept not in head:
            raise AssertionError(f"wrong accept key: {head!r}")

    # -- sending ---------------------------------------------------------
    def send_frame(self, opcode, payload):
        mask = os.urandom(4)
        n = len(payload)
        if n < 126:
            header = struct.pack("!BB", 0x80 | opcode, 0x80 | n)
        elif n < 65536:
            header = struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
        else:
            header = struct.pack("!BBQ", 0x80 | opcode, 0x80 | 127, n)
        masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload)) if n < 4096 else _mask_fast(payload, mask)
        self.sock.sendall(header + mask + masked)

    def send(self, message):
        text = message if isinstance(message, str) else json.dumps(message)
        self.send_frame(0x1, text.encode())

    # -- receiving -------------------------------------------------------
    def _read(self, n):
        if len(self.buf) < n:
            # A bytearray grows in place: a frame of megabytes is not copied
            # once for every chunk that arrives.
            got = bytearray(self.buf)
            while len(got) < n:
                chunk = self.sock.recv(max(65536, min(n - len(got), 1 << 22)))
                if not chunk:
                    self.buf = bytes(got)
                    raise Closed("connection closed")
                got += chunk
            self.buf = bytes(got)
        data, self.buf = self.buf[:n], self.buf[n:]
        return data

    def recv_frame(self, timeout=10.0):
        self.sock.settimeout(timeout)
        b0, b1 = self._read(2)
        n = b1 & 0x7F
        if n == 126:
            n = struct.unpack("!H", self._read(2))[0]
        elif n == 127:
            n = struct.unpack("!Q", self._read(8))[0]
        if b1 & 0x80:
            raise AssertionError("the server masked a frame")
        return b0, self._read(n)

    def recv(self, timeout=10.0):
        """The next text message, as text."""
        while True:
            b0, payload = self.recv_frame(timeout)
            opcode = b0 & 0x0F
            if opcode == 0x8:
                raise Closed("close frame")
            if opcode in (0x9, 0xA):
                continue
            assert b0 & 0x80, "fragmented frame"
            assert not b0 & 0x40, "compressed frame"
            assert opcode == 0x1, f"opcode {opcode}"
            return payload.decode()

    def recv_item(self, timeout=10.0):
        """The next message as an item: its text must end with ","."""
        text = self.recv(timeout)
        assert text.endswith(","), f"not an item: {text!r}"
        return json.loads(text[:-1])

    def recv_data(self, timeout=10.0):
        """The "data" of the next "jsonweb" item."""
        item = self.recv_item(timeout)
        assert item["response"]["type"] == "jsonweb", item
        return item["response"]["data"]

    def recv_until(self, predicate, timeout=10.0):
        """Messages (as items' data) until one satisfies predicate; returns it."""
        end = time.monotonic() + timeout
        while True:
            left = end - time.monotonic()
            if left <= 0:
                raise AssertionError("expected message did not come")
            data = self.recv_data(left)
            if predicate(data):
                return data

    def expect_silence(self, wait=0.6):
        try:
            b0, payload = self.recv_frame(wait)
        except (socket.timeout, TimeoutError):
            return
        raise AssertionError(f"unexpected message: {payload[:200]!r}")

    # -- ending ----------------------------------------------------------
    def close(self):
        try:
            self.send_frame(0x8, struct.pack("!H", 1000))
        except OSError:
            pass
        self.sock.close()

    def abort(self):
        """Vanish: no close frame, a reset instead of an orderly end."""
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        self.sock.close()


def _mask_fast(payload, mask):
    n = len(payload)
    key = int.from_bytes((mask * (n // 4 + 1))[:n], "big")
    return (int.from_bytes(payload, "big") ^ key).to_bytes(n, "big")


def start_message(ctrl, bdata=None, token="tok", typeappobj="obj", evt="ev", evtp="evp", **extra):
    message = {"ctrl": ctrl, "bdata": bdata if bdata is not None else {}, "token": token,
               "typeappobj": typeappobj, "evt": evt, "evtp": evtp}
    message.update(extra)
    return message


def processes_under(root):
    """Processes whose command line names the bundle folder `root`
    (PHP applications and their children; zombies included)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                cmd = f.read().replace(b"\0", b" ").decode(errors="replace")
            with open(f"/proc/{pid}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if root in cmd and "vexaserver" not in cmd:
            found.append((int(pid), state, cmd))
        elif state == "Z" and _parent_is_server(pid, root):
            found.append((int(pid), state, cmd))
    return found


def _parent_is_server(pid, root):
    # This bundle's server only: the servers of tests running alongside have
    # unreaped children of their own for a moment.
    try:
        with open(f"/proc/{pid}/stat") as f:
            ppid = f.read().rsplit(")", 1)[1].split()[1]
        with open(f"/proc/{ppid}/cmdline", "rb") as f:
            cmd = f.read()
            return b"vexaserver" in cmd and root.encode() in cmd
    except OSError:
        return False


def wait_no_processes(root, timeout=10.0):
    end = time.monotonic() + timeout
    while True:
        left = processes_under(root)
        if not left:
            return
        if time.monotonic() > end:
            raise AssertionError(f"processes left behind: {left}")
        time.sleep(0.1)


def install_fixture(bundle, name):
    here = os.path.dirname(os.path.abspath(__file__))
    shutil.copy(os.path.join(here, "fixtures", name), os.path.join(bundle.sample, "pages", name))
