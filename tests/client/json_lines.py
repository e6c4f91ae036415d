#!/usr/bin/env python3
"""Checks dulvex-client's JSON lines: every line is one JSON object whose "type" is one of those
given and whose keys are exactly "type" and that type's keys; a "time" is the local time with its
UTC offset. Prints the types in order, one per line, or the first fault.
Usage: json_lines.py FILE TYPE=KEY,KEY... [TYPE=KEY,KEY...]"""
import json
import re
import sys

STAMP = re.compile(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d\d:\d\d$")


def main():
    kinds = {}
    for arg in sys.argv[2:]:
        kind, keys = arg.split("=")
        kinds[kind] = set(keys.split(",")) | {"type"}
    types = []
    with open(sys.argv[1], "rb") as f:
        for number, raw in enumerate(f, 1):
            try:
                obj = json.loads(raw.decode("ascii"))
            except ValueError as e:
                return print("line %d does not parse: %s: %r" % (number, e, raw))
            if not isinstance(obj, dict) or obj.get("type") not in kinds:
                return print("line %d: unexpected %r" % (number, obj))
            if set(obj) != kinds[obj["type"]]:
                return print("line %d: keys %s" % (number, sorted(obj)))
            if "time" in obj and not STAMP.match(obj["time"]):
                return print("line %d: time %r" % (number, obj["time"]))
            types.append(obj["type"])
    print("\n".join(types))


main()
