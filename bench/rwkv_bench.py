"""RWKV recurrences of a 1.5B-parameter-sized layer (C = 2048; H = 32 heads of 64), for one token
and for a 512-token prompt, against the fp64 PyTorch reference of the same recurrence.

State GB/s counts the recurrent state once per token (version 4: three fp32 values per channel;
version 5: a 64 × 64 fp32 matrix per head): the bytes a step reads and rewrites.

    python bench/rwkv_bench.py [--json out.json]
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import torch

import vorn_linear
from common import best_time, machine, print_table

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
import rwkv_reference as ref  # noqa: E402

C, H, N, B = 2048, 32, 64, 1


def v4_case(T: int, dtype: torch.dtype):
    params = [-torch.exp(torch.randn(C)), torch.randn(C) * 0.5, torch.randn(B, T, C), torch.randn(B, T, C)]
    state = [torch.zeros(B, C), torch.zeros(B, C), torch.full((B, C), -1e38)]
    args = [t.to("xpu", dtype) for t in params] + [t.to("xpu") for t in state]
    return vorn_linear.rwkv_linear_attention_v4, args, ref.attention_v4, 3 * B * C * 4


def v5_case(T: int, dtype: torch.dtype):
    w, u = torch.exp(-torch.exp(torch.randn(H, N) * 0.5)), torch.randn(H, N) * 0.5
    r, k, v = (torch.randn(B, H, T, N) * 0.5 for _ in range(3))
    args = [t.to("xpu", dtype) for t in (w, u, r, k, v, torch.zeros(B, H, N, N))]
    return vorn_linear.rwkv_linear_attention_v5, args, ref.attention_v5, B * H * N * N * 4


CASES = [("v4", v4_case, torch.float32, C), ("v4", v4_case, torch.float16, C), ("v5", v5_case, torch.float32, H)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()
    print(f"machine: {machine()}")

    rows = []
    for version, make, dtype, width in CASES:
        for T in (1, 512):
            op, op_args, reference, state_bytes = make(T, dtype)
            ref_args = [t.cpu().double() for t in op_args]
            seconds = best_time(lambda: op(*op_args), repeat=20 if T == 1 else 5)
            ref_seconds = best_time(lambda: reference(*ref_args), repeat=5 if T == 1 else 2, warmup=1)
            rows.append([version, str(dtype).removeprefix("torch."), B, T, width, seconds * 1e3, ref_seconds * 1e3,
                         ref_seconds / seconds, state_bytes * T / seconds / 1e9])
    print_table(f"RWKV recurrences, B = {B}, C = {C}, H = {H} x {N} (fp64 reference: PyTorch on the CPU)",
                ["op", "dtype", "B", "T", "C / H", "ms", "fp64 ref ms", "speed-up", "state GB/s"], rows, args.json)


if __name__ == "__main__":
    main()
