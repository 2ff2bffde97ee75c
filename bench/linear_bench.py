"""forward_new per format and batch: weight bytes read per second against the machine's measured
read bandwidth and against PyTorch's dense linear of the same shape (an already-dense weight).
Weights are read from memory, not from the last-level cache.

    python bench/linear_bench.py [--formats q4_0,nf4] [--n 4096,14336] [--batches 1,4,32]
                                 [--dtypes float32] [--json out.json]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as F

import vorn_linear
from common import best_time_from_memory, machine, print_table, read_bandwidth
from vorn.quantize import qtypes, quantize

# The formats whose batch-1 forward is a matrix-vector kernel of this library's linear family.
FORMATS = ["q4_0", "q4_0_woq", "q4_1", "q5_0", "q5_1", "q8_0", "nf4", "nf3", "fp4", "fp6", "fp8_e4m3",
           "fp8_e5m2", "q4_k", "q6_k", "fp6_k"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--formats", default=",".join(FORMATS))
    parser.add_argument("--k", type=int, default=4096)
    parser.add_argument("--n", default="4096,11008,14336")
    parser.add_argument("--dtypes", default="float32,float16")
    parser.add_argument("--batches", default="1")
    parser.add_argument("--repeat", type=int, default=10)
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()

    print(f"machine: {machine()}")
    bandwidth = read_bandwidth()
    print(f"memory read bandwidth: {bandwidth:.1f} GB/s")
    k, rows = args.k, []
    for n in (int(v) for v in args.n.split(",")):
        weight = torch.randn(n, k)
        for batch in (int(v) for v in args.batches.split(",")):
            for dtype in (getattr(torch, name) for name in args.dtypes.split(",")):
                x = torch.randn(batch, k, dtype=dtype, device="xpu")
                dense = weight.to(dtype)
                dense_seconds = best_time_from_memory(lambda w: F.linear(x.cpu(), w), dense, repeat=args.repeat)
                for name in args.formats.split(","):
                    qtype = qtypes()[name]
                    packed = quantize(weight, qtype).to("xpu")
                    # An input_size that is not a multiple of 4 keeps q4_0 on its own kernels.
                    try:
                        seconds = best_time_from_memory(lambda w: vorn_linear.forward_new(x, w, qtype, k + 2),
                                                        packed, repeat=args.repeat)
                    except RuntimeError as error:  # a dtype this batch's road refuses (q4_0_woq: fp16 only)
                        print(f"{name}, {dtype}, batch {batch}: {error}")
                        continue
                    gbs = packed.nbytes / seconds / 1e9
                    rows.append([k, n, batch, str(dtype).removeprefix("torch."), name, seconds * 1e3, gbs,
                                 gbs / bandwidth, dense_seconds / seconds])
                    del packed
    print_table("forward_new", ["K", "N", "batch", "dtype", "format", "ms", "GB/s", "of bandwidth",
                                "speed vs dense"], rows, args.json)


if __name__ == "__main__":
    main()
