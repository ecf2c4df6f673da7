#!/usr/bin/env python3
"""Remote reads against nginx on 127.0.0.1 behind a latency-adding proxy,
side by side with downloading the whole file first.

    python bench/remote.py                     # 10^7 keys, 20 ms round trip
    python bench/remote.py --keys 1e5 --rtt 0.02 --json out.json

Each row gives the median wall time, the same in round trips, and the
requests and bytes nginx's access log shows; the targets are printed beside
them. The proxy (tests/http_servers.py) holds each direction's bytes for
half the round trip and each connection's first bytes for one round trip
more, as a TCP handshake would. No timing is asserted.
"""

import argparse
import json
import os
import random
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))

import tarndb                                              # noqa: E402
from http_servers import LatencyProxy, Nginx               # noqa: E402
from tarndb._remote_source import run                      # noqa: E402


def key_of(i):
    return f"user/{i:09d}/profile"


def build(path, n, payload, seed):
    if os.path.exists(path):
        with tarndb.TarnReader(path, verify=False) as r:
            if len(r) == n:
                return
    rng = random.Random(seed)
    blob = rng.randbytes(payload * 64)
    w = tarndb.TarnWriter()
    step = 1 << 16
    for at in range(0, n, step):
        w.update_raw((key_of(i), blob[(i % 63) * payload:(i % 63 + 1) * payload])
                     for i in range(at, min(n, at + step)))
    w.build(path, quiet=True)


def download(url, dest):
    """The whole object in one streamed GET (aiohttp, as the reader uses)."""
    async def fetch():
        import aiohttp
        async with aiohttp.ClientSession(auto_decompress=False) as s:
            async with s.get(url) as resp:
                with open(dest, "wb") as f:
                    async for chunk in resp.content.iter_chunked(1 << 20):
                        f.write(chunk)

    run(fetch)


def floor(url, size, samples):
    """What the link allows, with a bare aiohttp client: a new connection and
    two GETs (the open's pattern), and two GETs on a warm connection (a cold
    lookup's)."""
    async def measure():
        import aiohttp
        out = {"open": [], "two requests": []}
        for _ in range(samples):
            t = time.perf_counter()
            async with aiohttp.ClientSession(auto_decompress=False) as s:
                for rng in ("0-4095", f"{size - 65536}-{size - 4097}"):
                    async with s.get(url, headers={"Range": f"bytes={rng}"}) as resp:
                        await resp.read()
                t1 = time.perf_counter()
                for rng in ("4096-8191", "8192-8447"):
                    async with s.get(url, headers={"Range": f"bytes={rng}"}) as resp:
                        await resp.read()
                out["two requests"].append(time.perf_counter() - t1)
            out["open"].append(t1 - t)
        return {k: statistics.median(v) for k, v in out.items()}

    return run(measure)


def stream_only(reader, dest):
    """verify()'s transfer alone: the file streamed into its local copy."""
    from tarndb._remote_verify import download as copy
    copy(reader._file.obj, dest)


class Log:
    def __init__(self, server):
        self.server, self.mark = server, len(server.requests())

    def since(self):
        got = self.server.requests()[self.mark:]
        self.mark += len(got)
        return len(got), sum(q[4] for q in got)


def timed(fn):
    t = time.perf_counter()
    out = fn()
    return time.perf_counter() - t, out


def measure(server, url, n, rtt, samples, rng):
    rows = {}
    log = Log(server)
    opens = []
    for _ in range(samples):
        t, r = timed(lambda: tarndb.open(url))
        opens.append((t,) + log.since())
        r.close()
    rows["open"] = opens
    reader = tarndb.open(url)
    r = reader.raw  # the values are random bytes
    log.since()
    keys = [key_of(rng.randrange(n)) for _ in range(samples * 4)]
    cold, warm = [], []
    for k in keys:
        t, _ = timed(lambda: r[k])
        cold.append((t,) + log.since())
        t, _ = timed(lambda: r[k])
        warm.append((t,) + log.since())
    rows["cold r[key]"], rows["cached-slot r[key]"] = cold, warm
    misses = []
    for i in range(samples * 2):
        k = f"user/{rng.randrange(n):09d}/absent"
        t, _ = timed(lambda: r.get(k))
        misses.append((t,) + log.since())
    rows["get of an absent key"] = misses
    batches = []
    for _ in range(max(3, samples // 2)):
        batch = [key_of(rng.randrange(n)) for _ in range(1000)]
        t, _ = timed(lambda: r.get_many(batch))
        batches.append((t,) + log.since())
    rows["get_many, 1,000 random keys"] = batches
    reader.close()
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--keys", type=float, default=1e7)
    ap.add_argument("--payload", type=int, default=100)
    ap.add_argument("--rtt", type=float, default=0.020)
    ap.add_argument("--samples", type=int, default=15)
    ap.add_argument("--workdir", default=os.path.join(tempfile.gettempdir(), "tarndb-bench-remote"))
    ap.add_argument("--json")
    args = ap.parse_args()
    n = int(args.keys)
    os.makedirs(args.workdir, exist_ok=True)
    path = os.path.join(args.workdir, f"store-{n}.trnd")
    t_build, _ = timed(lambda: build(path, n, args.payload, 4211))
    size = os.path.getsize(path)
    nginx_dir = tempfile.mkdtemp(prefix="nginx-", dir=args.workdir)
    server = Nginx(args.workdir, nginx_dir)
    proxy = LatencyProxy(server.port, args.rtt)
    name = os.path.basename(path)
    out = {"keys": n, "file_size": size, "rtt": args.rtt, "load": os.getloadavg(),
           "build_s": t_build}
    try:
        rows = measure(server, proxy.url(name), n, args.rtt, args.samples, random.Random(1))
        out["floor"] = floor(proxy.url(name), size, args.samples)
        # Downloading first: the whole file over the same link, then a local open and lookup.
        dest = os.path.join(args.workdir, "downloaded.trnd")
        t_dl, _ = timed(lambda: download(proxy.url(name), dest))
        t_local, _ = timed(lambda: tarndb.TarnReader(dest, verify=False).raw[key_of(7)])
        os.unlink(dest)
        out["download_first_s"] = t_dl + t_local
        # verify(): through the proxy and straight from nginx, against a plain download.
        for where, url in (("proxied", proxy.url(name)), ("loopback", server.url(name))):
            t_plain, _ = timed(lambda: download(url, dest))
            os.unlink(dest)
            with tarndb.open(url) as r:
                t_verify, _ = timed(r.verify)
                t_stream, _ = timed(lambda: stream_only(r, dest))
            os.unlink(dest)
            out[f"verify_{where}"] = {"link_MBps": size / t_plain / 1e6,
                                      "verify_MBps": size / t_verify / 1e6,
                                      "stream_MBps": size / t_stream / 1e6,
                                      "share": t_plain / t_verify,
                                      "stream_share": t_plain / t_stream}
    finally:
        proxy.stop()
        server.stop()
    report(rows, out, args.rtt)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"rows": rows, **out}, f, indent=1)


TARGETS = {
    "open": (3.2, 0.0, "≤ 2 requests, ≤ 64 KiB, ≤ 3.2 round trips"),
    "cold r[key]": (2, 2e-3, "≤ 2 round trips + 2 ms"),
    "cached-slot r[key]": (1, 1e-3, "≤ 1 round trip + 1 ms"),
    "get_many, 1,000 random keys": (4, None, "≤ 4 round trips + transfer, ≤ 10 KiB per key"),
    "get of an absent key": (None, None, "(no target; a matching tag confirms by the samples)"),
}


def report(rows, out, rtt):
    print(f"\n{out['keys']:,} keys, {out['file_size'] / 2**20:.1f} MiB file, round trip "
          f"{rtt * 1e3:.0f} ms, load {out['load'][0]:.2f} {out['load'][1]:.2f}\n")
    print("| call | median | round trips | requests | bytes | target |")
    print("|---|---|---|---|---|---|")
    for name, samples in rows.items():
        t = statistics.median(s[0] for s in samples)
        req = statistics.median(s[1] for s in samples)
        sent = statistics.median(s[2] for s in samples)
        per = f" ({sent / 1000 / 1024:.1f} KiB/key)" if name.startswith("get_many") else ""
        print(f"| {name} | {t * 1e3:.1f} ms | {t / rtt:.2f} | {req:g} | {sent:,.0f}{per} | "
              f"{TARGETS[name][2]} |")
    print(f"| download the whole file first, then open and look up | "
          f"{out['download_first_s'] * 1e3:.0f} ms | {out['download_first_s'] / rtt:.0f} | 1 | "
          f"{out['file_size']:,} | |")
    fl = out["floor"]
    print(f"| floor: a bare client's new connection and two GETs | {fl['open'] * 1e3:.1f} ms | "
          f"{fl['open'] / rtt:.2f} | 2 | | |")
    print(f"| floor: a bare client's two GETs, one after the other | "
          f"{fl['two requests'] * 1e3:.1f} ms | {fl['two requests'] / rtt:.2f} | 2 | | |")
    for where in ("proxied", "loopback"):
        v = out[f"verify_{where}"]
        print(f"| verify() {where} | {v['verify_MBps']:.0f} MB/s (its transfer alone "
              f"{v['stream_MBps']:.0f} MB/s, {v['stream_share'] * 100:.0f}%) | | | | link "
              f"{v['link_MBps']:.0f} MB/s: {v['share'] * 100:.0f}% (target ≥ 80%) |")


if __name__ == "__main__":
    main()
