#!/usr/bin/env python3
"""Writes the fuzzers' seeds from containers and patches made by the tools.

   make_seeds.py KVPATCHMAKER OLD_EXECUTABLE NEW_EXECUTABLE SEEDS_DIR

Each seed exists twice: as the whole file (first byte even) and as the
decoded body behind the header fields the fuzzer fills in (first byte odd).
"""
import lzma
import os
import struct
import subprocess
import sys
import tempfile


def read_varint(data, pos):
    value, shift = 0, 0
    while True:
        b = data[pos]
        pos += 1
        value |= (b & 0x7F) << shift
        shift += 7
        if not b & 0x80:
            return value, pos


def decode_block(data, pos):
    prop = data[pos]
    size, pos = read_varint(data, pos + 1)
    dict_size = (2 | (prop & 1)) << (prop // 2 + 11) if prop < 40 else 0xFFFFFFFF
    filters = [{"id": lzma.FILTER_LZMA2, "dict_size": min(dict_size, 1 << 30)}]
    return lzma.LZMADecompressor(lzma.FORMAT_RAW, filters=filters).decompress(data[pos:])[:size]


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    maker, old, new, seeds = sys.argv[1:5]
    work = tempfile.mkdtemp()
    text = os.path.join(work, "text")
    with open(text, "wb") as f:
        f.write(b"[files]\nupdate hash=0123 size=42\n" * 40)

    target = os.path.join(seeds, "fuzz_decompressfile")
    for name, source, plain in (("exe", new, False), ("text", text, True)):
        packed = os.path.join(work, name + ".kvz")
        subprocess.run([maker, "--pack"] + (["--plain"] if plain else []) + [source, packed],
                       check=True)
        data = open(packed, "rb").read()
        write(target, name, b"\0" + data)
        _, pos = read_varint(data, 0)
        crc, pos = read_varint(data, pos)
        directive, pos = read_varint(data, pos)
        body = decode_block(data, pos)
        write(target, name + "_body", b"\1" + struct.pack("<I", crc)
              + bytes([1 if directive == 2 else 0]) + body)

    target = os.path.join(seeds, "fuzz_applyensemblepatch")
    for name, flags in (("elements", []), ("plain", ["--plain"])):
        patch = os.path.join(work, name + ".patch")
        subprocess.run([maker] + flags + [old, new, patch], check=True, stdout=subprocess.DEVNULL)
        data = open(patch, "rb").read()
        write(target, name, b"\0" + data)
        pos = 0
        fields = []
        for _ in range(5):
            value, pos = read_varint(data, pos)
            fields.append(value)
        body = decode_block(data, pos)
        write(target, name + "_body", b"\1" + struct.pack("<II", fields[3], fields[4]) + body)


if __name__ == "__main__":
    main()
