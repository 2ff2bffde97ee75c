"""Packing weights: the quantizer on a 4096 x 14336 matrix, per format (bench/dequant_bench.py
expands them again).

    python bench/formats_bench.py [--formats q4_0,q4_k] [--json out.json]
"""

from __future__ import annotations

import argparse
import time

import torch

from common import machine, print_table
from vorn.quantize import qtypes, quantize


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--formats", help="comma-separated format names (default: all)")
    parser.add_argument("--n", type=int, default=14336)
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    names = args.formats.split(",") if args.formats else sorted(qtypes())
    weight = torch.randn(args.n, args.k)
    rows = []
    for name in names:
        qtype = qtypes()[name]
        start = time.perf_counter()
        packed = quantize(weight, qtype)
        seconds = time.perf_counter() - start
        rows.append([name, seconds, packed.nbytes / 1e6])
    print(f"machine: {machine()}")
    print_table(f"quantize, {args.n} x {args.k}", ["format", "quantize s", "packed MB"], rows, args.json)


if __name__ == "__main__":
    main()
