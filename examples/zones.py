"""Build a time-zone store with the Python API and query it.

Each zone of data/zones.jsonl is stored once, under its name and under every
alias (link name) it has, so "Asia/Calcutta" and "Asia/Kolkata" share one
object.

    python examples/zones.py [output.trnd]
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

from tarndb import TarnReader, TarnWriter

DATA = Path(__file__).resolve().parent.parent / "data" / "zones.jsonl"


def build(path: Path) -> None:
    with TarnWriter.create(path) as writer, DATA.open(encoding="utf-8") as lines:
        for line in lines:
            zone = json.loads(line)
            writer.put_many([zone["zone"], *zone["aliases"]], zone)


def query(path: Path) -> None:
    with TarnReader(path) as zones:
        print(zones)
        kolkata = zones["Asia/Calcutta"]
        print("Asia/Calcutta ->", kolkata["zone"], kolkata["utc_offset"])
        print("names under Australia/:", [name for name, _ in zones.prefix("Australia/")])
        half_hours = sorted({z["utc_offset"] for z in zones.objects() if z["utc_offset"][-2:] != "00"})
        print("offsets that are not whole hours:", half_hours)
        print("'Mars/Olympus_Mons' in zones:", "Mars/Olympus_Mons" in zones)
        print("verify():", zones.verify(), "| stale:", zones.is_stale())


if __name__ == "__main__":
    out = Path(sys.argv[1] if len(sys.argv) > 1 else "zones.trnd")
    build(out)
    query(out)
