#!/usr/bin/env python3
"""Checks an executable's Authenticode signature with osslsigncode against one CA alone.

verify_signature.py OSSLSIGNCODE CA EXE            the signature verifies
verify_signature.py OSSLSIGNCODE CA EXE --tampered  a copy with one byte of its code
                                                    changed does not verify
"""
import os
import struct
import subprocess
import sys
import tempfile


def verify(tool, ca, exe):
    run = subprocess.run([tool, "verify", "-CAfile", ca, "-in", exe],
                         stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=120)
    return run.returncode == 0 and "Signature verification: ok" in run.stdout, run.stdout


def certificate_table(data):
    """Offset and size of the PE file's certificate table (the signature)."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    return struct.unpack_from("<II", data, directories + 4 * 8)


def main():
    tool, ca, exe = sys.argv[1:4]
    tampered = "--tampered" in sys.argv[4:]
    with open(exe, "rb") as f:
        data = bytearray(f.read())
    offset, size = certificate_table(data)
    if offset == 0 or size == 0:
        print(f"{exe}: no Authenticode signature")
        return 1
    if not tampered:
        ok, output = verify(tool, ca, exe)
        print(output)
        return 0 if ok else 1
    # One byte of the signed content, away from the headers and the signature itself.
    data[offset // 2] ^= 0x01
    with tempfile.TemporaryDirectory() as folder:
        copy = os.path.join(folder, "tampered.exe")
        with open(copy, "wb") as f:
            f.write(data)
        ok, output = verify(tool, ca, copy)
    print(output)
    if ok:
        print("a tampered copy verified")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
