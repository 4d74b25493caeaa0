#!/usr/bin/env python3
"""An independent reader and writer of binary property lists and keyed archives for the tests,
over python's plistlib.

  plist_oracle.py dump FILE     prints the typed form of the binary property list in FILE
  plist_oracle.py root FILE     checks FILE's keyed-archive frame and prints the typed form of
                                the property-list tree under "root"
  plist_oracle.py write FILE    writes the typed form read from stdin as a binary property list

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


def resolve(objects, uid):
    obj = objects[uid.data]
    if not isinstance(obj, dict):
        assert obj != "$null", "nil inside the tree"
        return typed(obj)
    cls = objects[obj["$class"].data]
    name = cls["$classname"]
    assert cls["$classes"][0] == name and cls["$classes"][-1] == "NSObject", cls
    if name == "NSDictionary":
        keys = [objects[k.data] for k in obj["NS.keys"]]
        assert all(isinstance(k, str) for k in keys)
        return {"dict": {k: resolve(objects, v) for k, v in zip(keys, obj["NS.objects"])}}
    if name == "NSArray":
        return {"array": [resolve(objects, v) for v in obj["NS.objects"]]}
    if name == "NSDate":
        return {"date": float(obj["NS.time"])}
    if name == "NSString":
        return {"str": obj["NS.string"]}
    raise AssertionError("unexpected class " + name)


def main():
    command, path = sys.argv[1], sys.argv[2]
    if command == "write":
        with open(path, "wb") as f:
            plistlib.dump(untyped(json.loads(sys.stdin.read())), f, fmt=plistlib.FMT_BINARY,
                          sort_keys=False)
        return 0
    if command not in ("dump", "root"):
        return 2
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"bplist00"):
        print("not a binary property list", file=sys.stderr)
        return 2
    tree = plistlib.loads(data)
    if command == "dump":
        out = typed(tree)
    else:
        assert tree["$archiver"] == "NSKeyedArchiver"
        assert tree["$version"] == 100000
        objects = tree["$objects"]
        assert objects[0] == "$null"
        assert list(tree["$top"].keys()) == ["root"]
        out = resolve(objects, tree["$top"]["root"])
    print(json.dumps(out, sort_keys=True, separators=(",", ":"), ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
