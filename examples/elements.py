"""Build a store from the bundled periodic-table sample and query it.

Each element is stored once and reachable under three keys that share it:
"symbol/Fe", "name/iron" and "number/026". Values are JSON here to keep the
example free of dependencies; real stores usually hold MessagePack.

    python examples/elements.py [output.trnd]
"""

import json
import os
import sys

from tarndb import _tarndb

HERE = os.path.dirname(os.path.abspath(__file__))


def build(path):
    writer = _tarndb._TarnWriter()
    with open(os.path.join(HERE, "elements.jsonl"), encoding="utf-8") as f:
        for line in f:
            element = json.loads(line)
            obj_id = writer.add_object_raw(json.dumps(element).encode())
            writer.add_key("symbol/" + element["symbol"], obj_id)
            writer.add_key("name/" + element["name"].lower(), obj_id)
            writer.add_key("number/%03d" % element["number"], obj_id)
    writer.build(path)  # prints a one-line summary


def inspect(path):
    reader = _tarndb._TarnReader(path, verify=True)
    print(repr(reader))
    print("symbol/Fe ->", json.loads(reader.get_raw("symbol/Fe")))
    print("name/gold ->", json.loads(reader.get_raw("name/gold")))
    print("number/118 present:", reader.exists("number/118"), "| number/119 present:",
          reader.exists("number/119"))
    print("names starting with 'name/ne':", [k for k, _ in reader.prefix_raw("name/ne")])
    print("distinct objects:", len(reader.objects_raw()), "for", len(reader.keys()), "keys")
    print("verify():", reader.verify())
    print("stats():", reader.stats())


if __name__ == "__main__":
    out = sys.argv[1] if len(sys.argv) > 1 else "elements.trnd"
    build(out)
    inspect(out)
