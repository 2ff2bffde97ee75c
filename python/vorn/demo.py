"""Demonstration on built-in data: quantized LLaMA-style decoder MLP layers on the xpu device.

A stack of gated MLP layers (RMS norm, gate and up projections, SiLU, down projection, residual) with
random weights of real model shapes is quantized into each chosen format and run on the host XPU
platform: a prefill batch through forward_new, then single-token decode steps with the fused
gate/up operator (mlp_forward_xpu) where the format has one, and forward_new for the rest. Each
format's result is compared with the fp32 model; a mixture-of-experts layer (8 experts, top-2)
follows.

    python -m vorn.demo [--hidden 2048] [--intermediate 5632] [--layers 2] [--steps 4]
                        [--formats q4_0,q8_0,q4_k] [--prefill 16] [--threads N]
"""

from __future__ import annotations

import argparse
import time

import torch
import torch.nn.functional as F

import vorn_linear
from vorn import xpu
from vorn.quantize import qtypes, quantize

try:
    from tqdm import tqdm
except ImportError:  # the progress bar is optional
    def tqdm(iterable, **_):
        return iterable

FUSED_MLP = {"q4_0", "q4_0_woq", "fp4", "fp8_e5m2", "fp6"}  # formats mlp_forward_xpu fuses everywhere


def random_layers(hidden: int, intermediate: int, count: int, seed: int = 0) -> list[dict[str, torch.Tensor]]:
    generator = torch.Generator().manual_seed(seed)

    def weight(n, k):
        return torch.randn(n, k, generator=generator) * k ** -0.5

    return [{"gate": weight(intermediate, hidden), "up": weight(intermediate, hidden),
             "down": weight(hidden, intermediate)} for _ in range(count)]


def rms_norm(x: torch.Tensor) -> torch.Tensor:
    """The pre-norm of a LLaMA block (unit weight): without it the residual stream of random
    layers grows geometrically and overflows within a few decode steps."""
    return x * torch.rsqrt(x.pow(2).mean(-1, keepdim=True) + 1e-6)


def dense_mlp(x: torch.Tensor, layer: dict[str, torch.Tensor]) -> torch.Tensor:
    h = rms_norm(x)
    return x + F.linear(F.silu(F.linear(h, layer["gate"])) * F.linear(h, layer["up"]), layer["down"])


class QuantizedMlp:
    """One layer's three matrices packed in one format, on the xpu device."""

    def __init__(self, layer: dict[str, torch.Tensor], name: str):
        self.name, self.qtype = name, qtypes()[name]
        self.shapes = {key: w.shape for key, w in layer.items()}
        self.weights = {key: quantize(w, self.qtype).to("xpu") for key, w in layer.items()}

    def linear(self, x: torch.Tensor, key: str) -> torch.Tensor:
        return vorn_linear.forward_new(x, self.weights[key], self.qtype, self.shapes[key][0])

    def gate_up(self, x: torch.Tensor) -> torch.Tensor:
        if x.shape[0] == 1 and self.name in FUSED_MLP:
            hidden, intermediate = self.shapes["gate"][1], self.shapes["gate"][0]
            return vorn_linear.mlp_forward_xpu(x, self.weights["gate"], self.weights["up"], 1, hidden,
                                               intermediate, 0, self.qtype)
        return F.silu(self.linear(x, "gate")) * self.linear(x, "up")

    def __call__(self, x: torch.Tensor) -> torch.Tensor:
        return x + self.linear(self.gate_up(rms_norm(x)), "down")

    @property
    def nbytes(self) -> int:
        return sum(w.nbytes for w in self.weights.values())


def relative_error(got: torch.Tensor, expected: torch.Tensor) -> float:
    return ((got.float().cpu() - expected).norm() / expected.norm()).item()


def run_format(name: str, layers, prompt: torch.Tensor, steps: int) -> list:
    quantized = [QuantizedMlp(layer, name) for layer in layers]
    x = prompt.to("xpu")
    start = time.perf_counter()
    for layer in quantized:
        x = layer(x)
    prefill_seconds = time.perf_counter() - start
    reference = prompt
    for layer in layers:
        reference = dense_mlp(reference, layer)
    prefill_error = relative_error(x, reference)

    token, reference_token = x[-1:], reference[-1:]
    start = time.perf_counter()
    for _ in tqdm(range(steps), desc=f"{name} decode", unit="token", leave=False):
        for layer in quantized:
            token = layer(token)
    decode_seconds = time.perf_counter() - start
    for _ in range(steps):
        for layer in layers:
            reference_token = dense_mlp(reference_token, layer)
    weight_bytes = sum(layer.nbytes for layer in quantized)
    return [name, prefill_error, relative_error(token, reference_token), prefill_seconds * 1e3,
            steps / decode_seconds, weight_bytes * steps / decode_seconds / 1e9]


def moe_layer(hidden: int, intermediate: int, experts: int = 8, top_k: int = 2) -> list:
    """One token through 8 q4_0 experts, top-2, against the fp32 experts."""
    layers = random_layers(hidden, intermediate, experts, seed=1)
    packed = [{key: quantize(w, "q4_0").to("xpu") for key, w in layer.items()} for layer in layers]

    def table(key):
        return torch.tensor([p[key].data_ptr() for p in packed], dtype=torch.uint64).to("xpu")

    x = torch.randn(1, hidden, generator=torch.Generator().manual_seed(2))
    ids = torch.tensor([[3, 6]])
    routing = torch.tensor([0.7, 0.3])
    start = time.perf_counter()
    out = vorn_linear.moe_forward_vec(x.to("xpu"), ids.to("xpu"), routing.to("xpu"), table("gate"), table("up"),
                                      table("down"), hidden, intermediate, qtypes()["q4_0"])
    seconds = time.perf_counter() - start
    reference = sum(r * (dense_mlp(x, layers[e]) - x) for e, r in zip(ids[0].tolist(), routing.tolist()))
    return [f"moe {experts}x q4_0 top-{top_k}", relative_error(out, reference), seconds * 1e3]


def print_table(columns: list[str], rows: list[list]) -> None:
    cells = [columns] + [[f"{v:.3g}" if isinstance(v, float) else str(v) for v in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(columns))]
    for i, row in enumerate(cells):
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))
        if i == 0:
            print("  ".join("-" * w for w in widths))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--hidden", type=int, default=2048)
    parser.add_argument("--intermediate", type=int, default=5632)
    parser.add_argument("--layers", type=int, default=2)
    parser.add_argument("--prefill", type=int, default=16, help="tokens of the prefill batch")
    parser.add_argument("--steps", type=int, default=4, help="single-token decode steps")
    parser.add_argument("--formats", default="q4_0,q8_0,q4_k,fp8_e5m2,iq2_xxs",
                        help="comma-separated formats (" + ",".join(sorted(qtypes())) + ")")
    parser.add_argument("--threads", type=int, default=0, help="intra-op threads (0: PyTorch's default)")
    args = parser.parse_args()
    if args.threads:
        torch.set_num_threads(args.threads)

    print(f"host XPU platform: {xpu.device_count()} device(s), {torch.get_num_threads()} threads, class "
          f"{vorn_linear.get_xpu_device_name(torch.device('xpu'))}")
    print(f"model: {args.layers} MLP layers, hidden {args.hidden}, intermediate {args.intermediate}; "
          f"prefill {args.prefill} tokens, {args.steps} decode steps")
    layers = random_layers(args.hidden, args.intermediate, args.layers)
    prompt = torch.randn(args.prefill, args.hidden, generator=torch.Generator().manual_seed(1))
    rows = [run_format(name, layers, prompt, args.steps)
            for name in tqdm(args.formats.split(","), desc="formats", unit="format")]
    print_table(["format", "prefill rel. error", "decode rel. error", "prefill ms", "decode tokens/s",
                 "decode GB/s"], rows)
    print()
    print_table(["layer", "rel. error", "ms"], [moe_layer(args.hidden, args.intermediate)])


if __name__ == "__main__":
    main()
