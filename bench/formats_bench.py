"""Packing and expanding weights: the quantizer and the dequantize kernels on a 4096 x 14336
matrix, per format.

    python bench/formats_bench.py [--formats q4_0,q4_k] [--json out.json]
"""

from __future__ import annotations

import argparse
import time

import torch

import vorn_linear
from common import best_time, machine, print_table
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
    x = torch.zeros(1, args.k, dtype=torch.float16, device="xpu")
    rows = []
    for name in names:
        qtype = qtypes()[name]
        start = time.perf_counter()
        packed = quantize(weight, qtype).to("xpu")
        quantize_seconds = time.perf_counter() - start
        seconds = best_time(lambda: vorn_linear.dequant(x, packed, qtype), repeat=5, warmup=1)
        rows.append([name, quantize_seconds, seconds * 1e3, packed.nbytes / seconds / 1e9,
                     args.n * args.k * 2 / seconds / 1e9])
    print(f"machine: {machine()}")
    print_table(f"quantize and dequant (fp16 output), {args.n} x {args.k}",
                ["format", "quantize s", "dequant ms", "packed GB/s", "fp16 out GB/s"], rows, args.json)


if __name__ == "__main__":
    main()
