"""Dynamic FP8 quantization and FP8 linear layers."""

import pytest
import torch

import vorn_linear
from cpu_features import cpu_flags
from vorn import xpu

FP8 = {torch.float8_e4m3fn: 448.0, torch.float8_e5m2: 57344.0}
INPUT_TYPES = [torch.float64, torch.float32, torch.bfloat16, torch.float16]


def quantize(x, out_dtype, initial_scale=0.0):
    out = torch.empty(x.shape, dtype=out_dtype, device="xpu")
    scale = torch.full((1,), initial_scale, device="xpu")
    vorn_linear.dynamic_scaled_fp8_quant(out, x.to("xpu"), scale)
    return out.cpu(), scale.cpu()


def reference_quantize(x, out_dtype, initial_scale=0.0):
    """The scale and codes in the kernels' fp32 arithmetic, converted by PyTorch's own float8 casts."""
    fmax = FP8[out_dtype]
    reciprocal = torch.tensor(1.0 / fmax, dtype=torch.float32)
    xf = x.float()
    scale = torch.maximum(torch.tensor(initial_scale), xf.abs().max() * reciprocal)
    y = xf * (torch.tensor(1.0, dtype=torch.float32) / scale)
    y = torch.fmax(torch.fmin(y, torch.tensor(fmax)), torch.tensor(-fmax))  # fmin/fmax drop NaN
    return y.to(out_dtype), scale.reshape(1)


def codes(t):
    return t.view(torch.uint8)


@pytest.mark.parametrize("out_dtype,scale,minus_448,one", [
    (torch.float8_e4m3fn, 1.0, 0xFE, 0x38),
    (torch.float8_e5m2, 0.0078125, 0xFB, None),
])
def test_documented_example(out_dtype, scale, minus_448, one):
    x = torch.tensor([[1, -2, 3, 4], [0.5, 0, -448, 8]], dtype=torch.float16)
    out, s = quantize(x, out_dtype)
    assert s.item() == scale
    assert codes(out)[1, 2].item() == minus_448
    if one is not None:
        assert codes(out)[0, 0].item() == one


@pytest.mark.parametrize("out_dtype", list(FP8))
@pytest.mark.parametrize("in_dtype", INPUT_TYPES)
@pytest.mark.parametrize("case", ["random", "odd_count", "zeros", "infinity", "scale_above_max", "tiny"])
def test_codes_match_pytorch_bit_for_bit(case, in_dtype, out_dtype):
    initial = 0.0
    if case == "odd_count":
        x = torch.randn(7) * 30
    elif case == "zeros":
        x = torch.zeros(3, 5)
    elif case == "infinity":
        x = torch.randn(2, 9)
        x[0, 1], x[1, 3] = float("inf"), float("-inf")
    elif case == "scale_above_max":
        x, initial = torch.randn(4, 33), 1000.0
    elif case == "tiny":  # subnormal FP8 codes
        x = torch.randn(3, 64) * torch.logspace(-8, 0, 64)
    else:
        x = torch.randn(5, 130) * 10
    x = x.to(in_dtype)
    out, scale = quantize(x, out_dtype, initial)
    expected, expected_scale = reference_quantize(x, out_dtype, initial)
    assert torch.equal(scale, expected_scale)
    assert torch.equal(codes(out), codes(expected))
    if case == "zeros":  # 0 * inf is NaN, which the clamp turns into +max
        assert scale.item() == 0 and torch.all(codes(out) == (0x7E if out_dtype == torch.float8_e4m3fn else 0x7B))
    if case == "scale_above_max":
        assert scale.item() == initial


def test_launches_one_group_per_row():
    xpu.clear_launch_trace()
    quantize(torch.randn(3, 100), torch.float8_e4m3fn)
    names = [r.name for r in xpu.launch_trace()]
    assert names == ["segmented_max_reduction", "segmented_max_reduction", "scaled_fp8_quant_kernel"]
    assert all(r.global_range == (3 * 1024,) and r.local_range == (1024,) for r in xpu.launch_trace())


@pytest.mark.parametrize("in_dtype,out_dtype,message", [
    (torch.int32, torch.float8_e4m3fn, "\"scaled_fp8_quant_kernel\" not implemented for 'Int'"),
    (torch.float32, torch.uint8, "\"scaled_fp8_quant_kernel_fp8\" not implemented for 'Byte'"),
])
def test_unsupported_types_fail_in_dispatch(in_dtype, out_dtype, message):
    out = torch.empty(8, dtype=out_dtype, device="xpu")
    with pytest.raises(RuntimeError, match=message):
        vorn_linear.dynamic_scaled_fp8_quant(out, torch.ones(8, dtype=in_dtype, device="xpu"), torch.zeros(1, device="xpu"))


def test_out_of_the_wrong_size_is_refused():
    out = torch.empty(7, dtype=torch.float8_e4m3fn, device="xpu")
    with pytest.raises(RuntimeError, match="out must be contiguous with 8 elements"):
        vorn_linear.dynamic_scaled_fp8_quant(out, torch.ones(2, 4, device="xpu"), torch.zeros(1, device="xpu"))


# FP8 linear -------------------------------------------------------------------------------

M, N, K = 4, 32, 64
TOLERANCE = {torch.float16: 2e-3, torch.bfloat16: 1.6e-2, torch.float32: 1e-5}


def fp8_weight(dtype, n=N, k=K):
    return (torch.randn(n, k) * 2).to(dtype)


def linear(x, w, bias=None, scale=None):
    dev = lambda t: None if t is None else t.to("xpu")  # noqa: E731
    return vorn_linear.run_linear_fp8(x.to("xpu"), w.to("xpu"), dev(bias), dev(scale)).cpu()


def assert_matches(y, expected, dtype):
    assert y.dtype == dtype
    bound = TOLERANCE[dtype] * (expected.abs().max().item() + 1)
    assert (y.double() - expected).abs().max().item() <= bound


@pytest.mark.parametrize("w_dtype", list(FP8))
@pytest.mark.parametrize("x_dtype", [torch.float16, torch.bfloat16, torch.float32])
@pytest.mark.parametrize("scale", [None, 0.5])
def test_linear_matches_fp64_reference(x_dtype, w_dtype, scale):
    x, w = torch.randn(M, K).to(x_dtype), fp8_weight(w_dtype)
    y = linear(x, w, scale=None if scale is None else torch.tensor([scale]))
    # The fp32 route multiplies with unit scales whatever weight_scale_inv says.
    applied = 1.0 if scale is None or x_dtype == torch.float32 else scale
    assert_matches(y, x.double() @ (w.double() * applied).t(), x_dtype)


@pytest.mark.parametrize("w_dtype", list(FP8))
@pytest.mark.parametrize("x_dtype", [torch.float16, torch.float32])
def test_every_finite_weight_code_is_multiplied_exactly(x_dtype, w_dtype):
    all_codes = torch.arange(256, dtype=torch.uint8).view(w_dtype)
    finite = all_codes[torch.isfinite(all_codes.float())]
    k = finite.numel()
    w = finite.reshape(1, k).expand(16, k).contiguous()
    y = linear(torch.eye(k, dtype=x_dtype), w)  # y[i, j] = w[j, i]
    assert torch.equal(y[:, 0], finite.to(x_dtype))


@pytest.mark.parametrize("w_dtype", list(FP8))
@pytest.mark.parametrize("x_dtype", [torch.float16, torch.bfloat16, torch.float32])
def test_non_finite_weight_codes_reach_the_output(x_dtype, w_dtype):
    all_codes = torch.arange(256, dtype=torch.uint8).view(w_dtype)
    special = all_codes[~torch.isfinite(all_codes.float())]
    w = torch.zeros(special.numel(), 64, dtype=w_dtype)
    w[:, 0] = special
    x = torch.zeros(1, 64, dtype=x_dtype)
    x[0, 0] = 1
    y = linear(x, w)[0].float()  # y[j] = w[j, 0]
    assert torch.equal(y.isnan(), special.float().isnan())
    numbers = ~y.isnan()
    assert torch.equal(y[numbers], special.float()[numbers])


# Without f16 arithmetic the fp16 product is the fp32 one rounded once: activations widened
# exactly, the sums formed in f32 (on the host, where the conversions run, not in oneDNN).
@pytest.mark.skipif("avx512_fp16" in cpu_flags(), reason="oneDNN multiplies f16 natively there")
@pytest.mark.parametrize("w_dtype", list(FP8))
def test_fp16_product_is_the_fp32_product_rounded_once(w_dtype):
    g = torch.Generator().manual_seed(3)
    x = (torch.randn(5, 512, generator=g) * torch.exp2(torch.randint(-12, 12, (5, 512), generator=g))).half()
    w = fp8_weight(w_dtype, 40, 512)
    assert torch.equal(linear(x, w), linear(x.float(), w).half())


@pytest.mark.parametrize("x_dtype", [torch.float16, torch.bfloat16])
@pytest.mark.parametrize("m,shape,as_added", [  # bias types n, n, mn, scalar, scalar, m, mn, mn
    (4, [32], [1, 32]), (4, [1, 32], [1, 32]), (4, [4, 32], [4, 32]), (4, [1], [1, 1]), (4, [], [1, 1]),
    (4, [4, 1], [4, 1]), (1, [32], [1, 32]), (1, [1, 32], [1, 32]),
])
@pytest.mark.parametrize("scale", [None, 0.25])
def test_cached_route_bias_shapes(x_dtype, m, shape, as_added, scale):
    x, w = torch.randn(m, K).to(x_dtype), fp8_weight(torch.float8_e4m3fn)
    bias = torch.randn(shape).to(x_dtype)
    y = linear(x, w, bias, None if scale is None else torch.tensor([scale]))
    expected = x.double() @ (w.double() * (scale or 1.0)).t() + bias.double().reshape(as_added)
    assert_matches(y, expected, x_dtype)


def test_cached_route_rejects_other_bias_sizes():
    with pytest.raises(RuntimeError, match=r"unsupported bias dim in matmul \.\.\.\[3, 5\]"):
        linear(torch.randn(M, K).half(), fp8_weight(torch.float8_e4m3fn), torch.randn(3, 5).half())


@pytest.mark.parametrize("shape,added", [
    ([4, 32], lambda b: b), ([1, 32], lambda b: b), ([4, 1], lambda b: b), ([1, 1], lambda b: b),
    ([32], lambda b: b.reshape(1, 32)), ([1], lambda b: b), ([], lambda b: b),
    ([1, 4, 32], lambda b: b[0]), ([1, 1, 32], lambda b: b[0]), ([1, 4, 1], lambda b: b[0]),
])
@pytest.mark.parametrize("scale", [None, 0.5])
def test_fp32_route_bias_shapes(shape, added, scale):
    x, w = torch.randn(M, K), fp8_weight(torch.float8_e5m2)
    bias = torch.randn(shape)
    y = linear(x, w, bias, None if scale is None else torch.tensor([scale]))
    assert_matches(y, x.double() @ w.double().t() + added(bias.double()), torch.float32)


@pytest.mark.parametrize("shape,message", [
    ([2, 3], r"matmul supports \[m, n\] or \[1, n\] or \[m, 1\] or \[1, 1\] when bias dim is 2 \.\.\."),
    ([5], r"matmul supports \[n\] or \[1\] when bias dim is 1 \.\.\."),
    ([2, 4, 32], r"matmul bias must be expandable to:\[1, 4, 32\] but got:\[2, 4, 32\]"),
    ([1, 1, 4, 32], r"unsupported bias dim in matmul \.\.\."),
])
def test_fp32_route_bias_errors(shape, message):
    with pytest.raises(RuntimeError, match=message):
        linear(torch.randn(M, K), fp8_weight(torch.float8_e5m2), torch.randn(shape))


@pytest.mark.parametrize("weight,scale,x_dtype,message", [
    (torch.ones(N, K, dtype=torch.int8), None, torch.float16, "weight must be f8_e5m2 or f8_e4m3fn for run_linear_fp8.\n"),
    (torch.ones(N, K, dtype=torch.int8), None, torch.float64, "weight must be f8_e5m2 or f8_e4m3fn for run_linear_fp8.\n"),
    (fp8_weight(torch.float8_e4m3fn), torch.ones(1, dtype=torch.float64), torch.float16,
     "Double is not supported in oneDNN!"),
    (fp8_weight(torch.float8_e4m3fn), None, torch.float64, "input must be fp16, bf16 or fp32, got Double"),
])
def test_linear_errors(weight, scale, x_dtype, message):
    with pytest.raises(RuntimeError, match=message.replace("\n", "\\n")):
        linear(torch.ones(M, K, dtype=x_dtype), weight, None, scale)


def test_operator_and_module_function_agree():
    x, w, b = torch.randn(M, K).half().to("xpu"), fp8_weight(torch.float8_e5m2).to("xpu"), torch.randn(N).half().to("xpu")
    scale = torch.tensor([0.5], device="xpu")
    assert torch.equal(torch.ops.lumora.run_linear_fp8(x, w, b, scale), vorn_linear.run_linear_fp8(x, w, b, scale))
