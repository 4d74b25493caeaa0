#!/usr/bin/env python3
"""Independent reader for tests: prints the property list (or the root object of a keyed
archive) at argv[1] as canonical JSON. Data becomes {"$data": hex}, reals {"$real": repr}."""
import json
import plistlib
import sys


def resolve(objects, value, depth=0):
    if depth > 64:
        raise ValueError("too deep")
    if isinstance(value, plistlib.UID):
        value = objects[value.data]
        if value == "$null":
            return None
        if isinstance(value, dict) and "$class" in value:
            cls = objects[value["$class"].data]["$classname"]
            if cls in ("NSDictionary", "NSMutableDictionary"):
                keys = [resolve(objects, k, depth + 1) for k in value["NS.keys"]]
                vals = [resolve(objects, v, depth + 1) for v in value["NS.objects"]]
                return dict(zip(keys, vals))
            if cls in ("NSArray", "NSMutableArray"):
                return [resolve(objects, v, depth + 1) for v in value["NS.objects"]]
            if cls in ("NSData", "NSMutableData"):
                return value["NS.data"]
            if cls in ("NSString", "NSMutableString"):
                return value["NS.string"]
            raise ValueError("class " + cls)
    if isinstance(value, dict):
        return {k: resolve(objects, v, depth + 1) for k, v in value.items()}
    if isinstance(value, list):
        return [resolve(objects, v, depth + 1) for v in value]
    return value


def canonical(value):
    if isinstance(value, bool):
        return value
    if isinstance(value, bytes):
        return {"$data": value.hex()}
    if isinstance(value, float):
        return {"$real": repr(value)}
    if isinstance(value, dict):
        return {k: canonical(v) for k, v in value.items()}
    if isinstance(value, list):
        return [canonical(v) for v in value]
    return value


with open(sys.argv[1], "rb") as f:
    top = plistlib.load(f)
if isinstance(top, dict) and top.get("$archiver") == "NSKeyedArchiver":
    top = resolve(top["$objects"], top["$top"]["root"])
print(json.dumps(canonical(top), sort_keys=True, separators=(",", ":")))
