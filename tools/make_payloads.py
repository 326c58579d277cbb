#!/usr/bin/env python3
"""Makes a payload folder (32/ and 64/) from the demo payloads, for the tests and the benchmark.

    make_payloads.py <demo-dir> <out-dir> [--production-sizes] [--size FILE=BYTES ...] [--replace FILE=PATH ...]

--production-sizes pads every file to the size its production payload has
(CorvoGovX 17,342,464 bytes, all 22 about 83 MB). The padding follows the
image as overlay data, which Windows' loader ignores, so the servers still
register; it is drawn from a generator seeded by the image, so that files that
are one image in both variants stay one image.
--size pads FILE to BYTES in both variants (the same image stays the same).
--replace puts another file in place of FILE in both variants.
"""
import argparse
import hashlib
import os
import random
import sys

import component_table

# The sizes of the production payloads, in the component table's order:
# 32-bit, and 64-bit where it differs. One for every row.
PRODUCTION_SIZES = [
    5_832_704,
    3_204_096,
    (1_871_360, 1_906_688),
    17_342_464,
    380_416,
    (104_448, 123_904),
    (356_352, 516_096),
    (1_287_168, 1_761_280),
    (45_056, 45_568),
    5_386_240,
    5_349_376,
]


def padded(data, size):
    if len(data) > size:
        raise SystemExit(f"a demo payload of {len(data)} bytes is larger than {size}")
    generator = random.Random(hashlib.sha256(data).digest())
    return data + generator.randbytes(size - len(data))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("demo")
    parser.add_argument("out")
    parser.add_argument("--production-sizes", action="store_true")
    parser.add_argument("--size", action="append", default=[])
    parser.add_argument("--replace", action="append", default=[])
    args = parser.parse_args()
    files = [base + ext for base, ext, _ in component_table.rows(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))]
    if len(files) != len(PRODUCTION_SIZES):
        sys.exit(f"make_payloads.py: {len(PRODUCTION_SIZES)} production sizes for {len(files)} rows of the component table")
    replacements = dict(item.split("=", 1) for item in args.replace)
    sizes_wanted = {name: int(size) for name, size in (item.split("=", 1) for item in args.size)}
    for index, variant in enumerate(("32", "64")):
        os.makedirs(os.path.join(args.out, variant), exist_ok=True)
        for name, sizes in zip(files, PRODUCTION_SIZES):
            source = replacements.get(name, os.path.join(args.demo, variant, name))
            with open(source, "rb") as f:
                data = f.read()
            if args.production_sizes:
                data = padded(data, sizes[index] if isinstance(sizes, tuple) else sizes)
            if name in sizes_wanted:
                data = padded(data, sizes_wanted[name])
            with open(os.path.join(args.out, variant, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
