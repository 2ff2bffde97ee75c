"""Whole-weight dequantization of a 4096 x 14336 weight per format, to fp32 and to fp16, against
the machine's read bandwidth of the same run.

    python bench/dequant_bench.py [--formats q4_0,q8_0] [--json out.json]

"dequant" is vorn_linear.dequant (the input's dtype picks the output's; a fresh [N, K] tensor per
call); "into" is the format's dequantize function (vorn_host.dequantize_into) writing a
preallocated tensor, where the format has one. GB/s counts the packed bytes read plus the output
bytes written; "CPU ns/weight" is the process CPU time of the call (both threads, page faults
included) per weight, which a busy machine inflates far less than the wall time.
"""

from __future__ import annotations

import argparse
import time

import torch

import vorn_linear
from common import machine, print_table, read_bandwidth
from vorn.quantize import qtypes, quantize

INTO = {"q4_0", "q4_1", "fp4", "q8_0", "fp8_e4m3", "fp8_e5m2", "fp6", "fp6_k", "q4_k", "q6_k"}


def best_times(fn, repeat: int) -> tuple[float, float]:
    """The fastest wall time and the smallest process CPU time of `repeat` runs, in seconds."""
    fn()
    wall = cpu = float("inf")
    for _ in range(repeat):
        cpu_start, start = time.process_time(), time.perf_counter()
        fn()
        wall, cpu = min(wall, time.perf_counter() - start), min(cpu, time.process_time() - cpu_start)
    return wall, cpu


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--formats", help="comma-separated format names (default: all)")
    parser.add_argument("--n", type=int, default=14336)
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    names = args.formats.split(",") if args.formats else sorted(qtypes())
    n, k = args.n, args.k
    bandwidth = max(read_bandwidth() for _ in range(3))
    weight = torch.randn(n, k)
    rows = []
    for name in names:
        qtype = qtypes()[name]
        packed = quantize(weight, qtype).to("xpu")
        for dtype in (torch.float32, torch.float16):
            x = torch.zeros(1, k, dtype=dtype, device="xpu")
            calls = [("dequant", lambda: vorn_linear.dequant(x, packed, qtype))]
            if name in INTO:
                out = torch.empty(n, k, dtype=dtype, device="xpu")
                calls.append(("into", lambda: torch.ops.vorn_host.dequantize_into(packed, out, name)))
            for path, call in calls:
                seconds, cpu = best_times(call, args.repeat)
                gbps = (packed.nbytes + n * k * x.element_size()) / seconds / 1e9
                rows.append([name, str(dtype).replace("torch.", ""), path, seconds * 1e3, gbps, gbps / bandwidth,
                             cpu / (n * k) * 1e9])
    bandwidth = max(bandwidth, *(read_bandwidth() for _ in range(2)))
    print(f"machine: {machine()}; read bandwidth {bandwidth:.1f} GB/s (best of 5 probes)")
    print_table(f"whole-weight dequantize, {n} x {k} (GB/s: packed bytes read + output bytes written)",
                ["format", "output", "path", "ms", "GB/s", "of bandwidth", "CPU ns/weight"], rows, args.json)


if __name__ == "__main__":
    main()
