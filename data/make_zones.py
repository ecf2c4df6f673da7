"""Generate zones.jsonl from the IANA time zone database.

One JSON object per zone, with the zone's aliases (link names), the
countries it covers, its principal location in decimal degrees and its
current standard offset from UTC. Reads the tzdb files that every Linux
system ships in /usr/share/zoneinfo:

    python data/make_zones.py [ZONEINFO_DIR] > data/zones.jsonl
"""

from __future__ import annotations

import json
import re
import sys
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Set, Tuple

Record = Dict[str, Any]


def table_rows(path: Path) -> Iterator[List[str]]:
    """The tab-separated rows of a tzdb .tab file, comments skipped."""
    for line in path.read_text(encoding="utf-8").splitlines():
        if line and not line.startswith("#"):
            yield line.split("\t")


def iso6709(text: str) -> Tuple[float, float]:
    """'+4230+00131' or '+423000+0013100' as (latitude, longitude) in degrees."""
    match = re.fullmatch(r"([+-]\d{4,6})([+-]\d{5,7})", text)
    if match is None:
        raise ValueError(f"bad coordinates {text!r}")

    def degrees(part: str, degree_digits: int) -> float:
        sign = -1.0 if part[0] == "-" else 1.0
        digits = part[1:]
        whole = int(digits[:degree_digits])
        minutes = int(digits[degree_digits:degree_digits + 2])
        seconds = int(digits[degree_digits + 2:] or "0")
        return round(sign * (whole + minutes / 60 + seconds / 3600), 4)

    return degrees(match.group(1), 2), degrees(match.group(2), 3)


def utc_offset(text: str) -> str:
    """A zic offset such as '5:30', '-3' or '0' as '+05:30', '-03:00', '+00:00'."""
    sign = "-" if text.startswith("-") else "+"
    parts = [int(p) for p in text.lstrip("-").split(":")] + [0, 0]
    hours, minutes = parts[0], parts[1]
    return f"{sign}{hours:02d}:{minutes:02d}"


def parse_zi(path: Path) -> Tuple[Dict[str, List[str]], Dict[str, str], Set[str]]:
    """Zones (name -> fields of the last, current line), links, DST rule sets."""
    zones: Dict[str, List[str]] = {}
    links: Dict[str, str] = {}
    rules_in_force: Set[str] = set()
    current: Optional[str] = None
    for line in path.read_text(encoding="utf-8").splitlines():
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        kind = fields[0]
        if kind == "R":
            # R NAME FROM TO - IN ON AT SAVE LETTER; TO "ma" means "max".
            if fields[3] == "ma":
                rules_in_force.add(fields[1])
            current = None
        elif kind == "L":
            links[fields[2]] = fields[1]
            current = None
        elif kind == "Z":
            current = fields[1]
            zones[current] = fields[2:]
        elif current is not None:
            zones[current] = fields  # a continuation line: later lines win
    return zones, links, rules_in_force


def make_records(zoneinfo: Path) -> List[Record]:
    countries = dict(row[:2] for row in table_rows(zoneinfo / "iso3166.tab"))
    places: Dict[str, List[str]] = {}
    for row in table_rows(zoneinfo / "zone.tab"):
        places[row[2]] = row
    for row in table_rows(zoneinfo / "zone1970.tab"):
        places[row[2]] = row  # the 1970 table lists every country a zone covers

    zones, links, rules_in_force = parse_zi(zoneinfo / "tzdata.zi")
    aliases: Dict[str, List[str]] = {name: [] for name in zones}
    for alias, target in links.items():
        while target in links:  # a link to a link
            target = links[target]
        aliases[target].append(alias)

    records: List[Record] = []
    for name in sorted(zones):
        stdoff, rules = zones[name][0], zones[name][1]
        place = places.get(name)
        latitude = longitude = None
        if place is not None:
            latitude, longitude = iso6709(place[1])
        records.append({
            "zone": name,
            "aliases": sorted(aliases[name]),
            "countries": [
                {"code": code, "name": countries[code]}
                for code in (place[0].split(",") if place else [])
            ],
            "latitude": latitude,
            "longitude": longitude,
            "comment": place[3] if place and len(place) > 3 else None,
            "utc_offset": utc_offset(stdoff),
            "dst": rules in rules_in_force,
        })
    return records


def main() -> None:
    zoneinfo = Path(sys.argv[1] if len(sys.argv) > 1 else "/usr/share/zoneinfo")
    for record in make_records(zoneinfo):
        sys.stdout.write(json.dumps(record, ensure_ascii=False) + "\n")


if __name__ == "__main__":
    main()
