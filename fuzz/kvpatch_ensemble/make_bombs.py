#!/usr/bin/env python3
"""Writes patches and containers of a few hundred bytes whose diff sections
decode to gigabytes: seeds for the fuzzers that run under a memory limit.

   make_bombs.py OLD_FILE SEEDS_DIR [GIB_PER_SECTION]

A run of zeros packs into LZMA2 chunks that, once the coder has settled,
are all the same bytes: repeating one such chunk makes a section of any
size, and the outer block packs the repeats down to almost nothing. The
patch is for OLD_FILE (its CRC), so that its final diff is reached.
"""
import lzma
import os
import sys
import zlib

STREAM_SET_MAGIC = 0x1328D6A
PATCH_MAGIC = 0x756F43
PATCH_VERSION = 20110216
CONTAINER_MAGIC = 0x7EA1769


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append((value & 0x7F) | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def signed(value):
    return varint(((value << 1) ^ (value >> 31)) & 0xFFFFFFFF)


def raw_lzma2(data):
    filters = [{"id": lzma.FILTER_LZMA2, "preset": 6}]
    return lzma.compress(data, format=lzma.FORMAT_RAW, filters=filters)


def block(data):
    """An LZMA2 block: property byte (8 MiB window), size, stream."""
    return bytes([22]) + varint(len(data)) + raw_lzma2(data)


def chunks(stream):
    """The chunks of a raw LZMA2 stream, without its end marker."""
    pos, out = 0, []
    while stream[pos] != 0:
        control = stream[pos]
        if control < 0x80:
            length = 3 + ((stream[pos + 1] << 8) | stream[pos + 2]) + 1
        else:
            header = 6 if control >= 0xC0 else 5
            length = header + ((stream[pos + 3] << 8) | stream[pos + 4]) + 1
        out.append(stream[pos:pos + length])
        pos += length
    return out


def zero_bomb(size):
    """An LZMA2 block that announces and holds `size` zero bytes."""
    sample = chunks(raw_lzma2(bytes(8 << 20)))
    first, steady = sample[0], sample[1]
    assert sample[2] == steady
    unit = ((steady[0] & 0x1F) << 16 | steady[1] << 8 | steady[2]) + 1
    head = ((first[0] & 0x1F) << 16 | first[1] << 8 | first[2]) + 1
    repeats = (size - head) // unit
    total = head + repeats * unit
    stream = first + steady * repeats + b"\0"
    return bytes([22]) + varint(total) + stream


def stream_set(streams):
    out = varint(STREAM_SET_MAGIC) + varint(len(streams))
    for s in streams:
        out += varint(len(s))
    return out + b"".join(streams)


def bomb_diff(new_size, section):
    """A three-block diff of `new_size` new bytes whose sections each hold
    `section` bytes."""
    one = zero_bomb(section)
    return bytes([1]) + varint(new_size) + one * 3


def same_diff(data):
    """A raw diff from `data` to itself."""
    control = signed(len(data)) + signed(0) + signed(-len(data)) if data else b""
    return (bytes([0]) + varint(len(data)) + varint(len(control)) + varint(len(data))
            + varint(0) + control + bytes(len(data)))


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(data)


def main():
    old_path, seeds = sys.argv[1:3]
    section = int(float(sys.argv[3]) * (1 << 30)) if len(sys.argv) > 3 else 2 << 30
    section = min(section, (1 << 32) - 1)
    old = open(old_path, "rb").read()
    new_size = 10 << 10

    # No elements: the parameter and element diffs turn the empty sets into
    # themselves, and the final diff is the bomb.
    empty = stream_set([b""] * 10)
    body = stream_set([varint(0), same_diff(empty), same_diff(empty),
                       bomb_diff(new_size, section)])
    # The engine's CRC fields hold the complement of the standard CRC-32.
    crc = zlib.crc32(old) ^ 0xFFFFFFFF
    patch = (varint(PATCH_MAGIC) + varint(PATCH_VERSION) + varint(crc)
             + varint(0) + varint(len(old)) + block(body))
    # The fuzzer takes an input whose first byte is even as the whole patch.
    write(os.path.join(seeds, "fuzz_applyensemblepatch"), "bomb", b"\0" + patch)

    # A dis_and_diff container: one empty encoded program (image base and
    # every table count 0), then the bomb.
    program = stream_set([b"\0\0"] + [b"\0"] * 7 + [b""] * 2)
    body = stream_set([program, bomb_diff(new_size, section)])
    container = (varint(CONTAINER_MAGIC) + varint(0) + varint(2) + block(body))
    write(os.path.join(seeds, "fuzz_decompressfile"), "bomb", b"\0" + container)


if __name__ == "__main__":
    main()
