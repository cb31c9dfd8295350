#!/usr/bin/env python3
"""Writes firmware.hex, the stand-in application image that the program carries as "HEX_FILE".

The image has the shape of a linker's Intel HEX output for the MSP430F1611: a code segment, a
constant segment and an initialisation table laid end to end from 0x5000 up to 0x9477, then the
interrupt vectors the application uses. Its contents are pseudo-random but fixed (a seeded
generator), so every run writes the same bytes; no word is 0xFFFF, so a page that was not
written can't pass for one that was.

Byte order: the HEX text lists bytes in memory order, and the MSP430 keeps a word with its low
byte at the even address. The reset vector at 0xFFFE holds the entry point 0x5000, so its record
carries the bytes 00 50, exactly as a real MSP430 image has them. The loader reads each byte pair
as one word with the first byte high (here 0x0050), and its link sends that word low byte first
(50 00). The boot loader stores a word's high byte at the even address, so the flash ends up
holding the bytes in the text's order again: 00 at 0xFFFE and 50 at 0xFFFF, the entry point.

Usage: make_firmware.py [OUTPUT]   (default: firmware.hex beside this script; "-" for stdout)
"""

import pathlib
import sys

RECORD_BYTES = 32
ENTRY_POINT = 0x5000

# (start, number of full records, size of the closing record): code, constants, init table.
SEGMENTS = [
    (0x5000, 400, 30),
    (0x5000 + 400 * RECORD_BYTES + 30, 120, 22),
    (0x5000 + 520 * RECORD_BYTES + 52, 26, 4),
]

# Interrupt vectors in use (address, handler); everything else stays erased.
VECTORS = [
    (0xFFE4, 0x5A3C),  # port 1
    (0xFFE6, 0x5A7E),  # port 2
    (0xFFEC, 0x5B10),  # USART0 receive
    (0xFFF0, 0x5B52),  # timer A
    (0xFFF2, 0x5B94),  # timer A capture/compare
    (0xFFFE, ENTRY_POINT),  # reset
]


class Bytes:
    """Fixed pseudo-random byte source (a 32-bit linear congruential generator)."""

    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state * 1103515245 + 12345) & 0xFFFFFFFF
        return (self.state >> 16) & 0xFF

    def word(self):
        while True:
            low, high = self.next(), self.next()
            if (low, high) != (0xFF, 0xFF):
                return [low, high]


def record(address, data, kind=0):
    body = [len(data), address >> 8, address & 0xFF, kind] + data
    checksum = (-sum(body)) & 0xFF
    return ":" + "".join(f"{b:02X}" for b in body) + f"{checksum:02X}\r\n"


def little_endian(word):
    return [word & 0xFF, word >> 8]


def image():
    source = Bytes(0x1611)
    lines = []
    first = True
    for start, full, last in SEGMENTS:
        address = start
        for size in [RECORD_BYTES] * full + [last]:
            data = [b for _ in range(size // 2) for b in source.word()]
            if first:
                # mov #0x3900, SP: the stack starts at the top of the F1611's RAM.
                data[0:4] = little_endian(0x4031) + little_endian(0x3900)
                first = False
            lines.append(record(address, data))
            address += size
    for address, handler in VECTORS:
        lines.append(record(address, little_endian(handler)))
    lines.append(record(0, [], kind=1))
    return "".join(lines)


def main():
    text = image().encode("ascii")
    target = sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("firmware.hex")
    if target == "-":
        sys.stdout.buffer.write(text)
    else:
        pathlib.Path(target).write_bytes(text)


if __name__ == "__main__":
    main()
