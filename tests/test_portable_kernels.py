"""The other builds of the hand-vectorised kernels, which other machines run: the linear,
q8_1-path, fused MLP and dequantize suites again in a process that turns AVX-512 off, and the
linear, MLP and dequantize suites in one that turns off only AVX512-FP16 (fp16 arithmetic then
rounds each operation from fp32, as on AVX-512 machines before Sapphire Rapids), and the fp16 and
bf16 lanes with and without their extensions (and fp16 lanes with and without AVX-512), and the
fp6 expansions with and without AVX512-FP16, bit for bit."""

import os
import subprocess
import sys
from pathlib import Path

import pytest
import torch

from cpu_features import cpu_flags

HERE = Path(__file__).parent


@pytest.mark.parametrize("variable, suites", [
    ("VORN_NO_AVX512", ("test_linear.py", "test_q8_1.py", "test_mlp.py", "test_dequant.py")),
    ("VORN_NO_AVX512_FP16", ("test_linear.py", "test_mlp.py", "test_dequant.py")),
])
def test_suites_pass_without(variable, suites):
    env = dict(os.environ, **{variable: "1"})
    paths = [str(HERE / name) for name in suites]
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *paths],
                            env=env, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]


# fp16 or bf16 products of word-lane formats (batch 1 and, for fp16, the by-batch kernels) and of
# the fused MLP, on activations of magnitudes across a wide range (fp16: subnormal products,
# overflowing sums). K takes pairs of steps and a single one (bf16 takes steps in pairs).
# argv: output path, dtype, lowest and highest power of two.
LANE_OUTPUTS = """
import sys, torch, vorn_linear
from vorn.quantize import qtypes, quantize
qt, g = qtypes(), torch.Generator().manual_seed(5)
dtype, low, high = getattr(torch, sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
n, k, outputs = 25, 1536, []
sign = torch.randint(0, 2, (4, k), generator=g).float() * 2 - 1
x = sign * (1 + torch.rand(4, k, generator=g)) * torch.exp2(torch.randint(low, high, (4, k), generator=g).float())
x = x.to(dtype).to("xpu")
for name in ["q4_0", "nf4", "nf3", "q8_0", "fp8_e5m2", "q4_k", "q6_k", "fp6", "q5_0", "q5_1"]:
    w = quantize(torch.randn(n, k, generator=g), name).to("xpu")
    for batch in [1, 4] if dtype == torch.float16 else [1]:
        outputs.append(vorn_linear.forward_new(x[:batch], w, qt[name], n))
    if name in ("q4_0", "fp6", "fp8_e5m2"):
        outputs.append(vorn_linear.mlp_forward_xpu(x[:1], w, w, 1, k, n, 0, qt[name]))
# fp32 block scales so small that their products with the sums are subnormal (q8_0, and fp8_e5m2
# in the fused MLP), with activations 2^-10 to 1.
xs = (torch.rand(1, k, generator=g) + 0.5) * torch.exp2(torch.randint(-10, 0, (1, k), generator=g).float())
xs = xs.to(dtype).to("xpu")
for name in ["q8_0", "fp8_e5m2"]:
    w = quantize(torch.randn(n, k, generator=g), name)
    w[n * k:] = torch.exp2(torch.randint(-140, -126, (n * k // 64,), generator=g).float()).view(torch.uint8)
    w = w.to("xpu")
    if name == "q8_0":
        outputs.append(vorn_linear.forward_new(xs, w, qt[name], n))
    else:
        outputs.append(vorn_linear.mlp_forward_xpu(xs, w, w, 1, k, n, 0, qt[name]))
torch.save([y.cpu().view(torch.int16) for y in outputs], sys.argv[1])
"""


# bf16 activations stay at 2^-35 and above, where the lanes round by AVX512-BF16's conversion.
# fp16 on AVX-512 without AVX512-FP16: activations below 2^4 keep every product and step sum of
# the integer- and codebook-level formats below 65504, where the lanes round without conversions;
# up to 2^11 they may not, and the lanes convert.
@pytest.mark.parametrize("dtype, flag, variable, native, low, high", [
    ("float16", "avx512_fp16", "VORN_NO_AVX512_FP16", {}, -21, 11),
    ("float16", "avx512f", "VORN_NO_AVX512", {"VORN_NO_AVX512_FP16": "1"}, -21, 4),
    ("float16", "avx512f", "VORN_NO_AVX512", {"VORN_NO_AVX512_FP16": "1"}, -21, 11),
    ("bfloat16", "avx512_bf16", "VORN_NO_AVX512_BF16", {}, -35, 60),
])
def test_lanes_give_the_same_bits_with_and_without_the_extension(tmp_path, dtype, flag, variable, native, low, high):
    if flag not in cpu_flags():
        pytest.skip(f"the CPU has no {flag}")
    results = []
    for name, extra in [("native", native), ("rounded", {variable: "1"})]:
        path = tmp_path / f"{name}.pt"
        subprocess.run([sys.executable, "-c", LANE_OUTPUTS, str(path), dtype, str(low), str(high)],
                       env=dict(os.environ, **extra), check=True, timeout=600)
        results.append(torch.load(path))
    for with_extension, without in zip(*results):
        assert torch.equal(with_extension, without)


# fp6 and fp6_k expanded into fp32 and fp16 (the explicit-SIMD dequantize) from random bytes:
# every code, and scales of every kind, NaNs and infinities among them. argv: output path.
FP6_EXPANSIONS = """
import sys, torch, vorn_linear
g, outputs = torch.Generator().manual_seed(7), []
for name, n, k in [("fp6", 24, 320), ("fp6_k", 16, 512)]:
    nbytes = n * k * (100 if name == "fp6" else 105) // 128
    packed = torch.randint(0, 256, (nbytes,), dtype=torch.uint8, generator=g).to("xpu")
    for dtype in (torch.float32, torch.float16):
        out = torch.empty(n, k, dtype=dtype, device="xpu")
        outputs.append(torch.ops.vorn_host.dequantize_into(packed, out, name).cpu().view(torch.int16))
torch.save(outputs, sys.argv[1])
"""


def test_fp6_expansions_give_the_same_bits_without_avx512_fp16(tmp_path):
    if "avx512_fp16" not in cpu_flags() or "avx512vbmi" not in cpu_flags():
        pytest.skip("the CPU has no AVX512-FP16 and VBMI")
    results = []
    for name, extra in [("native", {}), ("portable", {"VORN_NO_AVX512_FP16": "1"})]:
        path = tmp_path / f"{name}.pt"
        subprocess.run([sys.executable, "-c", FP6_EXPANSIONS, str(path)], env=dict(os.environ, **extra), check=True,
                       timeout=600)
        results.append(torch.load(path))
    for native, portable in zip(*results):
        assert torch.equal(native, portable)
