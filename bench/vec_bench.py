"""The vector path at batch 1: linear_forward_vec (and mlp_forward_vec) on q4_0 weights against
PyTorch's dense product of the same shape, with the machine's read bandwidth of the same run.
Weights are read from memory, not from the last-level cache.

    python bench/vec_bench.py [--json out.json]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as nnf

import vorn_linear
from common import best_time_from_memory, machine, print_table, read_bandwidth
from vorn.quantize import quantize

Q4_0 = 2


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--n", default="4096,14336", help="comma-separated output sizes")
    parser.add_argument("--threads", type=int, help="intra-op threads (default: PyTorch's)")
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    bandwidth = read_bandwidth()
    k = args.k
    rows = []
    for n in (int(v) for v in args.n.split(",")):
        dense = torch.randn(n, k)
        packed = quantize(dense, Q4_0).to("xpu")
        up = quantize(torch.randn(n, k), Q4_0).to("xpu")
        for dtype in (torch.float32, torch.float16):
            x = torch.randn(1, k).to(dtype).to("xpu")
            dense_weight = dense.to(dtype).to("xpu")
            dense_seconds = best_time_from_memory(lambda w: nnf.linear(x, w), dense_weight, repeat=10)
            for op, weights, call in (
                ("linear", (packed,), lambda w: vorn_linear.linear_forward_vec(x, w, k, n, Q4_0)),
                ("mlp", (packed, up), lambda a, b: vorn_linear.mlp_forward_vec(x, a, b, k, n, Q4_0)),
            ):
                seconds = best_time_from_memory(call, *weights, repeat=10)
                gbps = sum(w.nbytes for w in weights) / seconds / 1e9
                rows.append([f"{k} x {n}", str(dtype).replace("torch.", ""), op, seconds * 1e3, gbps, gbps / bandwidth,
                             dense_seconds * 1e3, dense_seconds / seconds])
    print(f"machine: {machine()}; read bandwidth {bandwidth:.1f} GB/s")
    print_table("vector path, batch 1, q4_0 (dense: torch linear on the unquantized weight, same dtype)",
                ["K x N", "dtype", "op", "ms", "GB/s", "of bandwidth", "dense ms", "speed-up vs dense"], rows,
                args.json)


if __name__ == "__main__":
    main()
