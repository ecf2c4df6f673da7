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
import threading
import time
from typing import List, Optional, Tuple

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
        self._proc = subprocess.Popen([NGINX, "-c", conf, "-p", workdir, "-e",
                                       os.path.join(workdir, "error.log")],
                                      stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
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


class LatencyProxy:
    """127.0.0.1:port forwarding to *target*, each direction's bytes held for
    rtt / 2, and each connection's first bytes for one rtt more."""

    def __init__(self, target_port: int, rtt: float) -> None:
        self.target_port, self.rtt = target_port, rtt
        self.port = free_port()
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._server: Optional[asyncio.base_events.Server] = None
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()
        self._ready.wait(10)

    def _run(self) -> None:
        asyncio.set_event_loop(self._loop)
        self._server = self._loop.run_until_complete(
            asyncio.start_server(self._serve, "127.0.0.1", self.port))
        self._ready.set()
        self._loop.run_forever()

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
        try:
            await asyncio.gather(self._pump(client_r, up_w, self.rtt),
                                 self._pump(up_r, client_w, 0.0))
        except asyncio.CancelledError:
            pass

    def url(self, name: str = "") -> str:
        return f"http://127.0.0.1:{self.port}/{name}"

    def stop(self) -> None:
        async def close() -> None:
            if self._server is not None:
                self._server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        asyncio.run_coroutine_threadsafe(close(), self._loop).result(10)
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join(10)
        self._loop.close()
