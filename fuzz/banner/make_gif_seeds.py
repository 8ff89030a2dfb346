#!/usr/bin/env python3
"""Writes the GIF seeds of the decoding fuzzer whose codes make long strings.

   make_gif_seeds.py SEEDS_DIR

A frame's codes can make many more pixels than the frame holds: each code
after the first adds a table entry one pixel longer than the code before it,
and a code repeated makes its whole string again. These seeds sit on both
sides of the header check's bound, so that the fuzzer walks the count:

  gif_long_strings_1x1      long strings in a 1x1 frame: refused
  gif_long_strings_fit      long strings that just fill a 96x48 frame
  gif_long_strings_interlaced  the same, interlaced, with local colours
  gif_literals_past_frame   one pixel a code, a frame and one string more
  gif_hidden_frame          long strings behind a graphic-control
                            extension whose first block is empty
  gif_hidden_frame_application  the same behind an application extension
"""
import os
import struct
import sys


def pack(minimum, codes):
    """The codes in the bits a reader takes each in, as data blocks."""
    clear = 1 << minimum
    size, limit, nxt, first = minimum + 1, 2 * clear, clear + 2, True
    bits = count = 0
    data = bytearray()
    for code in codes:
        bits |= code << count
        count += size
        while count >= 8:
            data.append(bits & 0xFF)
            bits >>= 8
            count -= 8
        if code == clear:
            size, limit, nxt, first = minimum + 1, 2 * clear, clear + 2, True
        elif code != clear + 1:
            if not first and nxt < 4096:
                nxt += 1
                if nxt >= limit and limit < 4096:
                    limit *= 2
                    size += 1
            first = False
    if count:
        data.append(bits & 0xFF)
    blocks = bytearray()
    for at in range(0, len(data), 255):
        block = data[at:at + 255]
        blocks += bytes([len(block)]) + block
    return bytes(blocks) + b"\0"


def long_strings(minimum, last, repeats, fit=None):
    """Codes of one colour: the next entry each time up to `last`, then
    `last` repeated; with `fit`, no more pixels than that."""
    clear = 1 << minimum
    codes, made, length = [clear, 0], 1, 1
    for code in range(clear + 2, last + 1):
        if fit is not None and made + length + 1 > fit:
            break
        length += 1
        made += length
        codes.append(code)
    for _ in range(repeats):
        if fit is not None and made + length > fit:
            break
        made += length
        codes.append(codes[-1])
    return codes + [clear + 1]


def frame(width, height, minimum, codes, flags=0, local=b""):
    return (b"," + struct.pack("<4HB", 0, 0, width, height, flags) + local
            + bytes([minimum]) + pack(minimum, codes))


def gif(width, height, body):
    colours = bytes(range(256)) * 3
    return (b"GIF89a" + struct.pack("<2H", width, height) + b"\xf7\0\0"
            + colours + body + b";")


def hidden_frame(label):
    """Long strings behind an extension whose first block is empty. The
    reader takes the first block of a graphic-control or an application
    extension by its length: the comma after it is a 44-byte block to the
    reader, a decoy frame of that length, then the reader's first frame."""
    return gif(1, 1, bytes([0x21, label, 0])
               + b",\0\0\0\0\x01\0\x01\0\0\x02\x21\x2c" + bytes(33)
               + frame(1, 1, 2, long_strings(2, 300, 20)))


def main():
    out = sys.argv[1]
    seeds = {
        "gif_long_strings_1x1":
            gif(1, 1, frame(1, 1, 2, long_strings(2, 300, 20))),
        "gif_long_strings_fit":
            gif(96, 48, frame(96, 48, 2, long_strings(2, 4095, 50, 96 * 48))),
        "gif_long_strings_interlaced":
            gif(96, 48, frame(96, 48, 3, long_strings(3, 4095, 50, 96 * 48),
                              0xC2, bytes(24))),
        "gif_literals_past_frame":
            gif(8, 8, frame(8, 8, 2, [4] + [1] * (64 + 4096) + [5])),
        "gif_hidden_frame": hidden_frame(0xF9),
        "gif_hidden_frame_application": hidden_frame(0xFF),
    }
    os.makedirs(out, exist_ok=True)
    for name, data in seeds.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
