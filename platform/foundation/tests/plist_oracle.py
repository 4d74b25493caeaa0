#!/usr/bin/env python3
"""Independent reader and writer for the property-list codec tests, over python's plistlib.

  plist_oracle.py check <case> <file>       the file (binary or XML) must load to the case's value
  plist_oracle.py dump <case> <file> [xml]  writes the case's value (binary unless "xml")
"""
import datetime
import plistlib
import sys

EPOCH = datetime.datetime(2001, 1, 1)


def date(seconds):
    return EPOCH + datetime.timedelta(seconds=seconds)


CASES = {
    "strings": {
        "ascii": "hello",
        "latin": "caf\u00e9",
        "cjk": "\u65e5\u672c\u8a9e",
        "emoji": "\U0001F600 grin \U0001F1EB\U0001F1F7",
        "empty": "",
        "long_ascii": "x" * 40,
        "long_unicode": "\u00e9" * 20,
        "k\u00e9y": "non-ASCII key",
    },
    "integers": [0, 1, 255, 256, 65535, 65536, 2**32 - 1, 2**32, -1, -2**63, 2**63 - 1,
                 2**63, 2**64 - 1],
    "data": {"empty": b"", "small": b"\x00\x01\xff", "big": bytes(i % 256 for i in range(300))},
    "nested": {"a": {"b": [1, {"c": [True, False]}], "d": []}, "e": {}, "f": [[[["deep"]]]]},
    "reals": [0.0, 1.5, -2.25, 1e300, 5e-324, 3.141592653589793],
    "dates": [date(0), date(730000000.5), date(-31536000)],
    "booleans": [True, False, {"t": True}],
    "uids": [plistlib.UID(0), plistlib.UID(255), plistlib.UID(256), plistlib.UID(65536),
             plistlib.UID(2**32), plistlib.UID(2**64 - 1)],
    "many": ["s%d" % i for i in range(300)] + list(range(300)),
    "xml": {"name": "caf\u00e9 \U0001F600", "negative": -42, "min": -2**63, "big": 2**63,
            "max": 2**64 - 1, "data": b"\x00\xffxyz", "when": date(86400),
            "list": [1.5, True, False, {}], "nested": {"inner": ["a", "b"]}},
}


def tagged(value):
    """A comparable form that keeps the kinds apart (True is not 1, 1.0 is not 1)."""
    if isinstance(value, dict):
        return ("dict", sorted((k, tagged(v)) for k, v in value.items()))
    if isinstance(value, list):
        return ("array", [tagged(v) for v in value])
    if isinstance(value, plistlib.UID):
        return ("uid", value.data)
    if isinstance(value, bool):
        return ("bool", value)
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("real", value.hex())
    if isinstance(value, datetime.datetime):
        return ("date", value.isoformat())
    if isinstance(value, bytes):
        return ("data", value.hex())
    if isinstance(value, str):
        return ("string", value)
    raise TypeError(type(value))


def main(argv):
    command, case, path = argv[1], argv[2], argv[3]
    expected = CASES[case]
    if command == "check":
        with open(path, "rb") as f:
            loaded = plistlib.load(f)
        if tagged(loaded) != tagged(expected):
            print("got     ", tagged(loaded), file=sys.stderr)
            print("expected", tagged(expected), file=sys.stderr)
            return 1
        return 0
    if command == "dump":
        fmt = plistlib.FMT_XML if len(argv) > 4 and argv[4] == "xml" else plistlib.FMT_BINARY
        with open(path, "wb") as f:
            f.write(plistlib.dumps(expected, fmt=fmt))
        return 0
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
