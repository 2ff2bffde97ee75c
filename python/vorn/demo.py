"""Demonstration on built-in data: a LLaMA-style decoder MLP stack on the xpu device.

Runs a prefill batch and single-token decode steps of gated MLP layers with random weights of
real model shapes, on xpu tensors of the host XPU platform, and checks them against the same
model on the CPU.

    python -m vorn.demo [--hidden 2048] [--intermediate 5632] [--layers 4] [--steps 8]
"""

from __future__ import annotations

import argparse
import time

import torch
import torch.nn.functional as F

import vorn_linear
from vorn import xpu

try:
    from tqdm import tqdm
except ImportError:  # the progress bar is optional
    def tqdm(iterable, **_):
        return iterable


def make_layers(hidden: int, intermediate: int, count: int) -> list[dict[str, torch.Tensor]]:
    generator = torch.Generator().manual_seed(0)
    scale = hidden ** -0.5

    def weight(n, k):
        return torch.randn(n, k, generator=generator) * scale

    return [{"gate": weight(intermediate, hidden), "up": weight(intermediate, hidden),
             "down": weight(hidden, intermediate)} for _ in range(count)]


def mlp(x: torch.Tensor, layer: dict[str, torch.Tensor]) -> torch.Tensor:
    return x + F.linear(F.silu(F.linear(x, layer["gate"])) * F.linear(x, layer["up"]), layer["down"])


def run(x: torch.Tensor, layers) -> torch.Tensor:
    for layer in layers:
        x = mlp(x, layer)
    return x


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--hidden", type=int, default=2048)
    parser.add_argument("--intermediate", type=int, default=5632)
    parser.add_argument("--layers", type=int, default=4)
    parser.add_argument("--prefill", type=int, default=32, help="tokens of the prefill batch")
    parser.add_argument("--steps", type=int, default=8, help="single-token decode steps")
    parser.add_argument("--threads", type=int, default=0, help="intra-op threads (0: PyTorch's default)")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    print(f"host XPU platform: {xpu.device_count()} device(s), threads {torch.get_num_threads()}")
    for i in range(xpu.device_count()):
        print(f"  xpu:{i}  architecture 0x{xpu.get_architecture(i):08x}  class "
              f"{vorn_linear.get_xpu_device_name(torch.device('xpu', i))}")

    cpu_layers = make_layers(args.hidden, args.intermediate, args.layers)
    layers = [{name: w.to("xpu") for name, w in layer.items()} for layer in cpu_layers]
    prompt = torch.randn(args.prefill, args.hidden, generator=torch.Generator().manual_seed(1))

    start = time.perf_counter()
    hidden = run(prompt.to("xpu"), layers)
    prefill_seconds = time.perf_counter() - start
    error = (hidden.cpu() - run(prompt, cpu_layers)).abs().max().item()
    print(f"prefill: {args.prefill} tokens x {args.layers} layers in {prefill_seconds * 1e3:.1f} ms, "
          f"max |xpu - cpu| = {error:.2e}")

    token = hidden[-1:]
    start = time.perf_counter()
    for _ in tqdm(range(args.steps), desc="decode", unit="token"):
        token = run(token, layers)
    decode_seconds = time.perf_counter() - start
    weight_bytes = sum(w.nbytes for layer in cpu_layers for w in layer.values())
    print(f"decode: {args.steps / decode_seconds:.2f} tokens/s, "
          f"{weight_bytes * args.steps / decode_seconds / 1e9:.1f} GB/s of fp32 weights")


if __name__ == "__main__":
    main()
