"""The oneDNN products: int4 GEMM (q4_0_woq) and FP8 linear against the dense PyTorch product of
the same shape and dtype, with the oneDNN implementation that ran (from oneDNN's verbose output).

    python bench/onednn_bench.py [--quick] [--json out.json]
"""

from __future__ import annotations

import argparse
import os
import re
import tempfile

import torch
import torch.nn.functional as F

import vorn_linear
from common import best_time, machine, print_table
from vorn.quantize import quantize

K = 4096
NS = [4096, 14336]
MS = [1, 8, 32, 128]


def onednn_roads(fn) -> str:
    """The oneDNN primitives one call of fn runs, as 'kind:implementation' joined by ' + '."""
    with tempfile.TemporaryFile(mode="w+") as log:
        saved = os.dup(1)
        os.dup2(log.fileno(), 1)
        try:
            torch.ops.vorn_host.onednn_verbose(1)
            fn()
            torch.ops.vorn_host.onednn_verbose(0)
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        log.seek(0)
        found = re.findall(r"primitive,exec,cpu,(\w+),([^,]+),", log.read())
    return " + ".join(f"{kind}:{impl}" for kind, impl in found)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="N = 4096 and M = 1, 32 only")
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()
    ns, ms = ([4096], [1, 32]) if args.quick else (NS, MS)
    print(f"machine: {machine()}")

    rows = []
    for n in ns:
        w = torch.randn(n, K) * 0.05
        packed = quantize(w, "q4_0_woq").to("xpu")
        w_fp8 = w.to(torch.float8_e4m3fn).to("xpu")
        for m in ms:
            cases = [("int4 q4_0_woq", torch.float16, lambda x: torch.ops.vorn_host.s4_gemm(x, packed))]
            for dtype in (torch.float16, torch.bfloat16, torch.float32):
                cases.append((f"fp8 e4m3", dtype, lambda x: vorn_linear.run_linear_fp8(x, w_fp8, None, None)))
            for name, dtype, fn in cases:
                x = torch.randn(m, K, dtype=dtype, device="xpu")
                dense_w, dense_x = w.to(dtype), x.cpu()
                seconds = best_time(lambda: fn(x), repeat=3, warmup=1)
                dense = best_time(lambda: F.linear(dense_x, dense_w), repeat=3, warmup=1)
                rows.append([name, str(dtype).removeprefix("torch."), m, K, n, seconds * 1e3, dense * 1e3,
                             dense / seconds, onednn_roads(lambda: fn(x))])
    print_table("oneDNN products against dense torch.nn.functional.linear (CPU) of the same shape and dtype",
                ["product", "dtype", "M", "K", "N", "ms", "dense ms", "speed vs dense", "oneDNN road"], rows, args.json)


if __name__ == "__main__":
    main()
