#!/usr/bin/env python3
"""Independent AES-GCM oracle: seal KEY NONCE PLAINTEXT | open KEY COMBINED (hex arguments).
Prints nonce||ciphertext||tag (seal) or the plaintext (open) in hex; exits 1 when opening fails."""
import sys
from cryptography.hazmat.primitives.ciphers.aead import AESGCM

mode, key = sys.argv[1], bytes.fromhex(sys.argv[2])
if mode == "seal":
    nonce, plaintext = bytes.fromhex(sys.argv[3]), bytes.fromhex(sys.argv[4])
    print((nonce + AESGCM(key).encrypt(nonce, plaintext, None)).hex())
else:
    combined = bytes.fromhex(sys.argv[3])
    try:
        print(AESGCM(key).decrypt(combined[:12], combined[12:], None).hex())
    except Exception:
        sys.exit(1)
