"""Mixture of experts on the vector path: moe_forward_vec and the fused gate-up batch form for
8 experts of hidden 4096 and intermediate 14336 in q4_0, top-2, against running the chosen
experts one by one (mlp_forward_vec for gate and up, linear_forward_vec for down: the road a
batch-1 q4_0 forward_new takes) and, for one token, against PyTorch's dense fp32 products.

    python bench/moe_bench.py [--experts 8] [--hidden 4096] [--intermediate 14336] [--json out.json]
"""

from __future__ import annotations

import argparse

import torch
import torch.nn.functional as nnf

import vorn_linear
from common import best_time, machine, print_table, read_bandwidth

Q4_0 = 2


def random_q4_0(rows: int, k: int, generator: torch.Generator) -> torch.Tensor:
    """A packed q4_0 [rows, k] matrix: random codes, fp16 scales of about 0.01."""
    codes = torch.randint(0, 256, (rows * k // 2,), dtype=torch.uint8, generator=generator)
    scales = torch.full((rows * k // 64,), 0.01, dtype=torch.float16).view(torch.uint8)
    return torch.cat([codes, scales]).to("xpu")


def table(tensors: list[torch.Tensor]) -> torch.Tensor:
    return torch.tensor([t.data_ptr() for t in tensors], dtype=torch.int64, device="xpu")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--experts", type=int, default=8)
    parser.add_argument("--hidden", type=int, default=4096)
    parser.add_argument("--intermediate", type=int, default=14336)
    parser.add_argument("--top-k", type=int, default=2)
    parser.add_argument("--tokens", default="1,16")
    parser.add_argument("--threads", type=int, help="intra-op threads (default: PyTorch's)")
    parser.add_argument("--json", help="also write the table as JSON")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    H, I, E, top_k = args.hidden, args.intermediate, args.experts, args.top_k
    g = torch.Generator().manual_seed(0)
    gate = [random_q4_0(I, H, g) for _ in range(E)]
    up = [random_q4_0(I, H, g) for _ in range(E)]
    down = [random_q4_0(H, I, g) for _ in range(E)]
    # The fused allocation: codes of the gate and up rows, then their scales.
    gate_up = [torch.cat([a[:I * H // 2], b[:I * H // 2], a[I * H // 2:], b[I * H // 2:]]) for a, b in zip(gate, up)]
    expert_bytes = gate[0].nbytes + up[0].nbytes + down[0].nbytes
    bandwidth = read_bandwidth()

    rows = []
    for tokens in (int(t) for t in args.tokens.split(",")):
        x = torch.randn(tokens, H, device="xpu")
        ids = torch.randint(0, E, (tokens, top_k), generator=g).to("xpu")
        eweights = torch.rand(tokens * top_k).to("xpu")
        slots = ids.view(-1).tolist()
        weight_bytes = len(slots) * expert_bytes

        def one_by_one():
            out = []
            for t, e in enumerate(slots):
                row = x[t // top_k:t // top_k + 1]
                h = vorn_linear.mlp_forward_vec(row, gate[e], up[e], H, I, Q4_0)
                out.append(vorn_linear.linear_forward_vec(h, down[e], I, H, Q4_0) * eweights[t])
            return torch.cat(out)

        def batch():
            return vorn_linear.moe_forward_vec_batch_fused_gate_up(x, ids, eweights, table(gate_up), table(down), H, I,
                                                                   top_k, Q4_0, 0)

        base = best_time(one_by_one, repeat=3, warmup=1)
        timings = [("batch fused gate-up", best_time(batch, repeat=3, warmup=1))]
        if tokens == 1:
            timings.insert(0, ("moe_forward_vec", best_time(lambda: vorn_linear.moe_forward_vec(
                x, ids, eweights, table(gate), table(up), table(down), H, I, Q4_0), repeat=3, warmup=1)))
        for name, seconds in timings:
            gbps = weight_bytes / seconds / 1e9
            rows.append([tokens, len(slots), name, seconds * 1e3, gbps, gbps / bandwidth, base * 1e3, base / seconds])
        if tokens == 1:
            dense = {e: (torch.randn(I, H), torch.randn(I, H), torch.randn(H, I)) for e in set(slots)}
            xc = x.cpu()

            def dense_road():
                return sum(eweights[t].item() * nnf.linear(nnf.silu(nnf.linear(xc, dense[e][0])) *
                                                           nnf.linear(xc, dense[e][1]), dense[e][2])
                           for t, e in enumerate(slots))

            seconds = best_time(dense_road, repeat=3, warmup=1)
            gbps = len(slots) * 3 * I * H * 4 / seconds / 1e9
            rows.append([tokens, len(slots), "dense fp32 torch", seconds * 1e3, gbps, gbps / bandwidth, base * 1e3,
                         base / seconds])
    print(f"machine: {machine()}; read bandwidth {bandwidth:.1f} GB/s")
    print_table(f"mixture of experts, {E} experts, H {H}, I {I}, q4_0, top-{top_k}, fp32 activations "
                "(GB/s: packed expert bytes read per second)",
                ["tokens", "slots", "road", "ms", "GB/s", "of bandwidth", "one-by-one ms", "speed-up"], rows, args.json)


if __name__ == "__main__":
    main()
