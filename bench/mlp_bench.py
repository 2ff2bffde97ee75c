"""The fused gate/up MLP (one mlp_forward_xpu launch) against two forward_new calls plus the
activation in PyTorch, for one token. Weights are read from memory, not from the last-level cache.

    python bench/mlp_bench.py [--k 4096] [--n 14336] [--formats q4_0,fp4] [--dtypes float32,float16]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as F

import vorn_linear
from common import best_times_from_memory, machine, print_table, read_bandwidth
from vorn.quantize import qtypes, quantize

FUSED = ["q4_0", "q4_0_woq", "fp4", "fp8_e5m2", "fp6"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--n", type=int, default=14336)
    parser.add_argument("--formats", default=",".join(FUSED))
    parser.add_argument("--dtypes", default="float32,float16")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    print(f"machine: {machine()}")
    bandwidth = read_bandwidth()
    print(f"memory read bandwidth: {bandwidth:.1f} GB/s")
    rows = []
    for name in args.formats.split(","):
        qtype = qtypes()[name]
        w1, w2 = (quantize(torch.randn(args.n, args.k), qtype).to("xpu") for _ in range(2))
        for dtype_name in args.dtypes.split(","):
            x = torch.randn(1, args.k, dtype=getattr(torch, dtype_name), device="xpu")
            def fused_call(a, b):
                return vorn_linear.mlp_forward_xpu(x, a, b, 1, args.k, args.n, 0, qtype)

            def separate_call(a, b):
                # The last argument is N: q4_0 at batch 1 takes the vector path, which reads it as such.
                gate = vorn_linear.forward_new(x, a, qtype, args.n)
                return F.silu(gate) * vorn_linear.forward_new(x, b, qtype, args.n)

            fused, separate = best_times_from_memory([fused_call, separate_call], w1, w2, repeat=args.repeat)
            gbs = (w1.nbytes + w2.nbytes) / fused / 1e9
            rows.append([name, dtype_name, fused * 1e3, separate * 1e3, separate / fused, gbs, gbs / bandwidth])
    print_table(f"fused MLP, K = {args.k}, N = {args.n}",
                ["format", "dtype", "fused ms", "2 x forward_new ms", "speed-up", "GB/s", "of bandwidth"], rows,
                args.json)


if __name__ == "__main__":
    main()
