#!/usr/bin/env python3
"""An independent reader and writer of binary property lists for the tests.

  plist_oracle.py dump FILE         prints the typed form of the property list in FILE
  plist_oracle.py write FILE        writes the typed form read from stdin as a binary property list

Typed form: {"dict": {...}}, {"array": [...]}, {"str": s}, {"data": hex}, {"int": n},
{"bool": b}, {"real": x}, {"date": seconds since 2001}, {"uid": n}. Output is JSON with
sorted keys and no spaces, so that the tests can compare it as text.
"""
import datetime
import json
import plistlib
import sys

EPOCH = datetime.datetime(2001, 1, 1, tzinfo=datetime.timezone.utc)


def typed(value):
    if isinstance(value, dict):
        return {"dict": {k: typed(v) for k, v in value.items()}}
    if isinstance(value, list):
        return {"array": [typed(v) for v in value]}
    if isinstance(value, str):
        return {"str": value}
    if isinstance(value, bytes):
        return {"data": value.hex()}
    if isinstance(value, bool):
        return {"bool": value}
    if isinstance(value, int):
        return {"int": value}
    if isinstance(value, float):
        return {"real": value}
    if isinstance(value, plistlib.UID):
        return {"uid": value.data}
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=datetime.timezone.utc)
        return {"date": (value - EPOCH).total_seconds()}
    raise TypeError(type(value))


def untyped(node):
    (kind, value), = node.items()
    if kind == "dict":
        return {k: untyped(v) for k, v in value.items()}
    if kind == "array":
        return [untyped(v) for v in value]
    if kind == "data":
        return bytes.fromhex(value)
    if kind == "uid":
        return plistlib.UID(value)
    if kind == "date":
        return EPOCH + datetime.timedelta(seconds=value)
    return value


def main():
    if sys.argv[1] == "dump":
        with open(sys.argv[2], "rb") as f:
            data = f.read()
        if not data.startswith(b"bplist00"):
            print("not a binary property list", file=sys.stderr)
            return 2
        print(json.dumps(typed(plistlib.loads(data)), sort_keys=True, separators=(",", ":"),
                         ensure_ascii=False))
        return 0
    if sys.argv[1] == "write":
        with open(sys.argv[2], "wb") as f:
            plistlib.dump(untyped(json.loads(sys.stdin.read())), f, fmt=plistlib.FMT_BINARY,
                          sort_keys=False)
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main())
