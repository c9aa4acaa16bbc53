#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora: real frames and the edge cases.

    seeds.py DIR   ->  DIR/socket/*, DIR/serial/*
"""
import os
import sys


def frame(payload=b"", fourth=0):
    return bytes([0x61, len(payload) >> 8, len(payload) & 0xFF, fourth]) + payload


def write(directory, name, data):
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main(out):
    socket_dir = os.path.join(out, "socket")
    serial_dir = os.path.join(out, "serial")
    os.makedirs(socket_dir, exist_ok=True)
    os.makedirs(serial_dir, exist_ok=True)

    datagrams = {
        "road": bytes.fromhex("6100020a1234"),
        "empty-payload": frame(),
        "largest": frame(bytes(range(256)) + bytes(140)),
        "one-too-long": frame(bytes(397)),
        "declares-396-sends-500": frame(bytes(396)) + bytes(100),
        "bad-start": b"\x62" + frame(b"xy")[1:],
        "length-9-of-6": bytes.fromhex("610005000102"),
        "short-header": b"\x61\x00",
        "one-byte": b"\x61",
        "empty": b"",
        "start-bytes-inside": frame(b"\x61" * 8, 0x61),
        "cr-lf": frame(b"\r\n\r\n\x11\x13", 0x0D),
    }
    for name, data in datagrams.items():
        write(socket_dir, name, data)

    # First byte: bit 7 traces, low nibble the read piece size (0: unlimited).
    streams = {
        "one-frame": b"\x00" + frame(b"\x12\x34", 0x0A),
        "stray-then-frame": b"\x00" + bytes.fromhex("0061000007"),
        "byte-by-byte": b"\x01" + frame(b"hello") + frame(),
        "start-bytes-inside": b"\x03" + frame(b"\x61\x61\x61", 0x61),
        "too-long-then-frame": b"\x00" + frame(bytes(500)) + frame(b"ok"),
        "cut-off": b"\x02" + frame(b"abcdef")[:6],
        "header-only": b"\x00\x61\x00",
        "largest": b"\x80" + frame(bytes(396)),
        "noise": b"\x07" + bytes(range(0x62, 0x100)) + bytes(range(0x00, 0x61)),
        "many-small": b"\x00" + frame() * 40,
        "one-read-of-smallest": b"\x00" + frame() * 1023,  # a thousand datagrams from one read
        "cr-lf": b"\x05" + frame(b"\r\n\r\n", 0x0D),
    }
    for name, data in streams.items():
        write(serial_dir, name, data)


if __name__ == "__main__":
    main(sys.argv[1])
