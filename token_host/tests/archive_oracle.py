#!/usr/bin/env python3
"""Independent reader of a keyed archive: prints the root object as JSON.

Usage: archive_oracle.py FILE
Output: {"archiver": ..., "version": ..., "top": [keys], "rootKeys": [keys in order],
         "root": {key: value}} where data prints as {"hex": ...}.
"""
import json
import plistlib
import sys


def resolve(objects, ref, depth=0):
    if depth > 50:
        raise ValueError("too deep")
    obj = objects[ref.data] if isinstance(ref, plistlib.UID) else ref
    if isinstance(obj, str) and obj == "$null":
        return None
    if isinstance(obj, dict) and "$class" in obj:
        cls = objects[obj["$class"].data]["$classname"]
        if cls in ("NSDictionary", "NSMutableDictionary"):
            keys = [resolve(objects, k, depth + 1) for k in obj["NS.keys"]]
            values = [resolve(objects, v, depth + 1) for v in obj["NS.objects"]]
            return {"$order": keys, **dict(zip(keys, values))}
        if cls in ("NSArray", "NSMutableArray"):
            return [resolve(objects, v, depth + 1) for v in obj["NS.objects"]]
        if cls in ("NSData", "NSMutableData"):
            return {"hex": obj["NS.data"].hex()}
        if cls in ("NSString", "NSMutableString"):
            return obj["NS.string"]
        raise ValueError("unexpected class " + cls)
    if isinstance(obj, bytes):
        return {"hex": obj.hex()}
    return obj


def main():
    with open(sys.argv[1], "rb") as f:
        archive = plistlib.load(f)
    objects = archive["$objects"]
    top = archive["$top"]
    root = resolve(objects, top["root"]) if "root" in top else None
    order = root.pop("$order") if isinstance(root, dict) else None
    print(json.dumps({"archiver": archive["$archiver"], "version": archive["$version"],
                      "top": sorted(top.keys()), "rootKeys": order, "root": root},
                     sort_keys=True, default=str))


if __name__ == "__main__":
    main()
