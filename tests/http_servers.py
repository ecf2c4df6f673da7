"""Servers for the remote-read tests and benchmark, all on 127.0.0.1:

- ``Nginx``: Debian's nginx serving a directory, started in the foreground
  with a configuration in a temporary directory and stopped at the end; its
  access log (one line per request: method, path, Range, status, bytes
  sent) is how requests are counted.
- ``LatencyProxy``: a TCP proxy that holds every chunk for half the round
  trip in each direction (the kernel here has no netem), and the first
  bytes of each connection for one round trip more, as a TCP handshake
  would take.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import socket
import subprocess
import sys
import time
from typing import List, Tuple

NGINX = shutil.which("nginx") or next(
    (p for p in ("/usr/sbin/nginx", "/sbin/nginx") if os.path.exists(p)), None)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def wait_for_port(port: int, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=0.5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.02)


CONFIG = """
{user}
worker_processes 1;
daemon off;
pid {tmp}/nginx.pid;
error_log {tmp}/error.log warn;
events {{ worker_connections 512; }}
http {{
    log_format counted '$request_method $uri "$http_range" $status $body_bytes_sent';
    access_log {tmp}/access.log counted;
    client_body_temp_path {tmp}/body;
    proxy_temp_path {tmp}/proxy;
    fastcgi_temp_path {tmp}/fastcgi;
    uwsgi_temp_path {tmp}/uwsgi;
    scgi_temp_path {tmp}/scgi;
    default_type application/octet-stream;
    keepalive_requests 100000;
    keepalive_timeout 60s;
    sendfile on;
    server {{
        listen 127.0.0.1:{port};
        root {root};
        location / {{ }}
    }}
}}
"""


class Nginx:
    """nginx serving *root* on a free port of 127.0.0.1."""

    def __init__(self, root: str, workdir: str) -> None:
        if NGINX is None:
            raise RuntimeError("nginx is not installed (apt-get install nginx)")
        self.root, self.workdir = root, workdir
        self.port = free_port()
        conf = os.path.join(workdir, "nginx.conf")
        with open(conf, "w") as f:
            f.write(CONFIG.format(user="user root;" if os.geteuid() == 0 else "", tmp=workdir,
                                  port=self.port, root=root))
        self.log = os.path.join(workdir, "access.log")
        # Without the sanitizer runtime a sanitized test run preloads.
        env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
        self._proc = subprocess.Popen([NGINX, "-c", conf, "-p", workdir, "-e",
                                       os.path.join(workdir, "error.log")],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL, env=env)
        try:
            wait_for_port(self.port)
        except OSError:
            self.stop()
            raise RuntimeError("nginx did not start: " + self._errors()) from None

    def _errors(self) -> str:
        path = os.path.join(self.workdir, "error.log")
        return open(path).read() if os.path.exists(path) else ""

    def url(self, name: str = "") -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def requests(self) -> List[Tuple[str, str, str, int, int]]:
        """(method, path, Range, status, body bytes) of every request so far."""
        out = []
        with open(self.log) as f:
            for line in f:
                method, path, rest = line.split(" ", 2)
                rng, status, sent = rest.rsplit(" ", 2)
                out.append((method, path, rng.strip('"'), int(status), int(sent)))
        return out

    def stop(self) -> None:
        if self._proc.poll() is None:
            self._proc.terminate()
            try:
                self._proc.wait(10)
            except subprocess.TimeoutExpired:
                self._proc.kill()
                self._proc.wait()


class _Proxy:
    """The proxy's event loop (run in a process of its own by LatencyProxy,
    so that it takes no interpreter lock from the client it measures)."""

    def __init__(self, target_port: int, rtt: float, port: int) -> None:
        self.target_port, self.rtt, self.port = target_port, rtt, port

    async def _pump(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter,
                    first_extra: float) -> None:
        queue: asyncio.Queue = asyncio.Queue()
        loop = asyncio.get_running_loop()

        async def read() -> None:
            extra = first_extra
            while True:
                data = await reader.read(1 << 16)
                await queue.put((loop.time() + self.rtt / 2 + extra, data))
                extra = 0.0
                if not data:
                    return

        async def write() -> None:
            while True:
                due, data = await queue.get()
                delay = due - loop.time()
                if delay > 0:
                    await asyncio.sleep(delay)
                if not data:
                    if writer.can_write_eof():
                        writer.write_eof()
                    return
                writer.write(data)
                await writer.drain()

        try:
            await asyncio.gather(read(), write())
        except (ConnectionError, OSError, asyncio.CancelledError):
            pass
        finally:
            writer.close()

    async def _serve(self, client_r: asyncio.StreamReader, client_w: asyncio.StreamWriter) -> None:
        try:
            up_r, up_w = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            client_w.close()
            return
        await asyncio.gather(self._pump(client_r, up_w, self.rtt),
                             self._pump(up_r, client_w, 0.0))

    async def serve_forever(self) -> None:
        server = await asyncio.start_server(self._serve, "127.0.0.1", self.port)
        async with server:
            await server.serve_forever()


class LatencyProxy:
    """127.0.0.1:port forwarding to *target_port*, each direction's bytes held
    for rtt / 2, and each connection's first bytes for one rtt more; run in
    a child process."""

    def __init__(self, target_port: int, rtt: float) -> None:
        self.target_port, self.rtt = target_port, rtt
        self.port = free_port()
        self._proc = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "proxy", str(target_port), repr(rtt),
             str(self.port)], stdin=subprocess.DEVNULL)
        try:
            wait_for_port(self.port)
        except OSError:
            self.stop()
            raise

    def url(self, name: str = "") -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self) -> None:
        if self._proc.poll() is None:
            self._proc.terminate()
            self._proc.wait(10)


if __name__ == "__main__" and sys.argv[1:2] == ["proxy"]:
    target, delay, listen = int(sys.argv[2]), float(sys.argv[3]), int(sys.argv[4])
    try:
        asyncio.run(_Proxy(target, delay, listen).serve_forever())
    except KeyboardInterrupt:
        pass
