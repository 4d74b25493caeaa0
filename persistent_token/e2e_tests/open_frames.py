#!/usr/bin/env python3
"""Opens sealed frames captured on the link, independently of the C++ code.

usage: open_frames.py SECRET_HEX < frames
Each input line is "received HEX" (a request the phone got) or "sent HEX" (an answer). The key is
the X9.63 derivation over SHA-256 with empty shared info: SHA-256(secret || 00 00 00 01). Prints
one JSON object per frame: its length and, opened and read with plistlib, its keys and values.
Exits 1 when a frame does not open or is not a property list.
"""
import hashlib
import json
import plistlib
import sys

from cryptography.hazmat.primitives.ciphers.aead import AESGCM


def main():
    secret = bytes.fromhex(sys.argv[1])
    key = hashlib.sha256(secret + b"\x00\x00\x00\x01").digest()
    aead = AESGCM(key)
    for line in sys.stdin:
        direction, _, text = line.strip().partition(" ")
        frame = bytes.fromhex(text)
        plaintext = aead.decrypt(frame[:12], frame[12:], None)
        if not plaintext.startswith(b"bplist00"):
            raise SystemExit("not a binary property list")
        record = plistlib.loads(plaintext, fmt=plistlib.FMT_BINARY)
        out = {"direction": direction, "length": len(frame), "keys": sorted(record)}
        for name, value in record.items():
            if isinstance(value, bytes):
                out[name] = value.hex()
            elif isinstance(value, dict):
                out[name] = {k: (v.hex() if isinstance(v, bytes) else v) for k, v in value.items()}
            else:
                out[name] = value
        print(json.dumps(out, sort_keys=True))


if __name__ == "__main__":
    main()
