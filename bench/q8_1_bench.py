"""The k- and i-format forwards of the q8_1 path (q2_k, iq2_xxs, iq1_s, q5_k): time per call and
weight bytes read per second, as a fraction of the measured read bandwidth, and against PyTorch's
dense product on an already-dense weight. The CPU time per weight (all threads) is also given:
on a shared machine it varies far less than the wall time.
Weights are read from memory, not from the last-level cache.

    python bench/q8_1_bench.py [--formats q2_k,iq1_s] [--n 4096,14336] [--batch 1,4,32] [--json out.json]
"""

from __future__ import annotations

import argparse
import time

import torch

import vorn_linear  # noqa: F401  (registers the operators)
from common import best_time_from_memory, machine, print_table, read_bandwidth
from vorn.quantize import qtypes, quantize

FORMATS = ["q2_k", "iq2_xxs", "iq1_s", "q5_k"]
DTYPES = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}


def best_cpu_time(fn, repeat: int = 5) -> float:
    """The least process CPU time of `repeat` runs, in seconds."""
    fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.process_time()
        fn()
        best = min(best, time.process_time() - start)
    return best


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--formats", default=",".join(FORMATS))
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--n", default="4096,14336", help="comma-separated out_features")
    parser.add_argument("--batch", default="1,4,32", help="comma-separated batch sizes")
    parser.add_argument("--dtypes", default="fp32,fp16,bf16")
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    bandwidth = read_bandwidth()
    rows = []
    for n in (int(v) for v in args.n.split(",")):
        weight = torch.randn(n, args.k)
        for name in args.formats.split(","):
            qtype = qtypes()[name]
            packed = quantize(weight, name).to("xpu")
            for dtype_name in args.dtypes.split(","):
                dtype = DTYPES[dtype_name]
                dense = weight.to(dtype).to("xpu")
                for batch in (int(v) for v in args.batch.split(",")):
                    x = torch.randn(batch, args.k, dtype=dtype, device="xpu")
                    def forward(w=packed):
                        return torch.ops.vorn_host.q8_1_forward(x, w, qtype)

                    seconds = best_time_from_memory(forward, packed, repeat=5)
                    cpu_seconds = best_cpu_time(forward)
                    baseline = best_time_from_memory(lambda w: torch.nn.functional.linear(x, w), dense, repeat=5)
                    rate = packed.nbytes / seconds / 1e9
                    rows.append([name, n, args.k, batch, dtype_name, seconds * 1e3, rate, rate / bandwidth,
                                 seconds / baseline, cpu_seconds / (n * args.k) * 1e9])
    print(f"machine: {machine()}; measured read bandwidth {bandwidth:.1f} GB/s")
    print_table("q8_1-path forwards", ["format", "N", "K", "batch", "dtype", "ms", "weight GB/s", "of bandwidth",
                                       "x dense", "CPU ns/weight"], rows, args.json)


if __name__ == "__main__":
    main()
