"""Machine baseline: memory read bandwidth, dense matrix-vector products in PyTorch, and the
cost of launching an empty kernel through the host XPU platform.

    python bench/platform_bench.py [--json out.json]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as F

import vorn_linear  # noqa: F401  (installs the platform)
from common import best_time, machine, print_table, read_bandwidth

SHAPES = [(4096, 4096), (4096, 11008), (4096, 14336)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    print(f"machine: {machine()}")
    bandwidth = read_bandwidth()
    print(f"memory read bandwidth: {bandwidth:.1f} GB/s")
    launch_us = min(torch.ops.vorn_host.time_empty_launches(100_000) for _ in range(3))
    print(f"empty kernel launch: {launch_us:.2f} us (one thread)")

    rows = []
    for k, n in SHAPES:
        for dtype in (torch.float32, torch.bfloat16):
            x, w = torch.randn(1, k, dtype=dtype), torch.randn(n, k, dtype=dtype)
            seconds = best_time(lambda: F.linear(x, w))
            gbs = w.nbytes / seconds / 1e9
            rows.append([k, n, str(dtype).removeprefix("torch."), seconds * 1e3, gbs, gbs / bandwidth])
    print_table("dense matrix-vector baseline (torch CPU, batch 1)",
                ["K", "N", "dtype", "ms", "GB/s", "of bandwidth"], rows, args.json)


if __name__ == "__main__":
    main()
