#!/usr/bin/env python3
"""Writes a test payload: the given text, the text and a newline (line), or <size> bytes of a pattern
that the tests compute on their own (byte i is the top byte of i * 2654435761
modulo 2**32), so that a misplaced or missing piece shows."""
import sys


def pattern(size: int) -> bytes:
    return bytes(((i * 2654435761) & 0xFFFFFFFF) >> 24 for i in range(size))


def main() -> None:
    out, kind, value = sys.argv[1:4]
    if kind == "text":
        data = value.encode()
    elif kind == "line":
        data = value.encode() + b"\n"
    else:
        data = pattern(int(value))
    with open(out, "wb") as f:
        f.write(data)


if __name__ == "__main__":
    main()
