#!/usr/bin/env python3
"""Puts a Windows program into the form that an Authenticode signature leaves it in when removed: the file
padded with zeros to a multiple of 8 bytes and the PE header's checksum set. Signing pads and checksums the
file, and `osslsigncode remove-signature` keeps both: so the released, signed program without its signature is
byte for byte the unsigned program of the reproducible build.

Usage: pe_checksum.py FILE...   (in place)
"""
import struct
import sys


def pe_checksum(data):
    """The PE checksum of `data`, whose checksum field is zero."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


for path in sys.argv[1:]:
    with open(path, "rb") as file:
        data = bytearray(file.read())
    if data[:2] != b"MZ":
        sys.exit(f"{path}: not a PE file")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    field = pe + 4 + 20 + 64  # the optional header's CheckSum
    data += b"\0" * (-len(data) % 8)
    struct.pack_into("<I", data, field, 0)
    struct.pack_into("<I", data, field, pe_checksum(bytes(data)))
    with open(path, "wb") as file:
        file.write(data)
