"""The vector path: linear_forward_vec and mlp_forward_vec on q4_0 / q4_0_woq weights."""

import numpy as np
import pytest
import torch
import torch.nn.functional as nnf

import vorn_linear
from reference_decoders import ref_parts
from vorn import xpu
from vorn.quantize import quantize

Q4_0, Q4_0_WOQ = 2, 34
DTYPES = {torch.float32: (16, 2.0 ** -20), torch.float16: (32, 2.0 ** -10)}


def half_weights(qtype, packed, n, k):
    """fp64 [n, k] weights as the kernels form them: value times scale rounded to fp16."""
    value, scale, _ = ref_parts(qtype, packed.cpu().numpy(), n, k)
    return (torch.from_numpy(value).half() * torch.from_numpy(scale).half()).double()


def packed(qtype, n, k, seed):
    generator = torch.Generator().manual_seed(seed)
    return quantize(torch.randn(n, k, generator=generator), qtype).to("xpu")


def row(k, dtype):
    return torch.randn(1, k).to(dtype).to("xpu")


def traced(fn):
    xpu.clear_launch_trace()
    result = fn()
    return result, xpu.launch_trace()


def assert_dot(actual, x, w, eps):
    """actual ~ x w^T within eps times sum |x||w| per row (fp16 rounds every product)."""
    expected = x.cpu().double() @ w.T
    bound = eps * (x.cpu().double().abs() @ w.abs().T) + 1e-30
    assert ((actual.cpu().double() - expected).abs() <= bound).all()


# K covers the 256-element chunks only, the 64-element tail only, and both.
@pytest.mark.parametrize("k", [64, 512, 1344])
@pytest.mark.parametrize("qtype", [Q4_0, Q4_0_WOQ])
@pytest.mark.parametrize("dtype", list(DTYPES))
def test_linear_matches_fp64_reference(qtype, dtype, k):
    n = 20
    w = packed(qtype, n, k, seed=k)
    x = row(k, dtype)
    y, [launch] = traced(lambda: vorn_linear.linear_forward_vec(x, w, k, n, qtype))
    lanes, eps = DTYPES[dtype]
    assert y.shape == (1, n) and y.dtype == dtype and y.is_xpu
    assert (launch.name, launch.global_range, launch.local_range) == (
        f"linear_forward_kernel<{'float' if dtype == torch.float32 else 'half'}, 4, 4, {lanes}, {qtype}>", (n,), (4,))
    assert_dot(y, x, half_weights(qtype, w, n, k), 4 * eps)


def vector_sums_fp32(w, x):
    """fp32 row totals in the kernels' order: work-item l takes the four-block chunks l, l + 4, ...
    and then the single tail blocks l, l + 4, ... past them; each adds weight times activation into
    one lane per position of the block, in block order; its 64 lanes are halved pairwise (lanes i
    and i + 32, then i + 16, ...); work-item 0 adds the others' values in order."""
    n, k = w.shape
    steps, blocks = k // 256, k // 64
    products = (w.float().numpy() * x.float().numpy()).reshape(n, blocks, 64)
    lanes = np.zeros((4, n, 64), dtype=np.float32)
    with np.errstate(invalid="ignore"):  # infinite weights of opposite signs give NaN, as in the kernel
        for b in range(blocks):
            item = b // 4 % 4 if b < 4 * steps else (b - 4 * steps) % 4
            lanes[item] += products[:, b]
        width = 32
        while width:
            lanes[:, :, :width] += lanes[:, :, width:2 * width]
            width //= 2
    total = lanes[0, :, 0]
    for item in range(1, 4):
        total = total + lanes[item, :, 0]
    return torch.from_numpy(total)


# Any other order of the same fp32 sums gives other bits: the linear kernel must equal its own
# order exactly (K with chunks only, a tail only, and both; fewer chunks than work-items). Large
# scales: row 1's make weights overflow fp16 (they must be infinite), row 2's reach 65504.
@pytest.mark.parametrize("large_scales", [False, True])
@pytest.mark.parametrize("k", [64, 512, 1344, 2112])
def test_linear_fp32_sums_in_the_kernels_order(k, large_scales):
    n, blocks = 12, k // 64
    w = packed(Q4_0, n, k, seed=k + 1)
    if large_scales:
        scales = w[n * k // 2:].view(torch.float16)
        scales[blocks:2 * blocks] = torch.tensor([8192.0, -9000.0, 60000.0, 0.5]).repeat(blocks)[:blocks]
        scales[2 * blocks:3 * blocks] = -8188.0
    x = row(k, torch.float32)
    y = vorn_linear.linear_forward_vec(x, w, k, n, Q4_0)
    expected = vector_sums_fp32(half_weights(Q4_0, w, n, k).float(), x.cpu()[0])
    torch.testing.assert_close(y.cpu()[0], expected, rtol=0, atol=0, equal_nan=True)


@pytest.mark.parametrize("qtype", [Q4_0, Q4_0_WOQ])
@pytest.mark.parametrize("dtype", list(DTYPES))
def test_mlp_matches_fp64_reference(qtype, dtype):
    n, k = 10, 1344
    gate, up = packed(qtype, n, k, seed=1), packed(qtype, n, k, seed=2)
    x = row(k, dtype)
    y, [launch] = traced(lambda: vorn_linear.mlp_forward_vec(x, gate, up, k, n, qtype))
    lanes, eps = DTYPES[dtype]
    assert y.shape == (1, n) and y.dtype == dtype
    assert (launch.name, launch.global_range, launch.local_range) == (
        f"mlp_forward_kernel<{'float' if dtype == torch.float32 else 'half'}, 2, 4, {lanes}, {qtype}>", (2 * n,), (4,))
    xd = x.cpu().double()
    wg, wu = half_weights(qtype, gate, n, k), half_weights(qtype, up, n, k)
    g, u = xd @ wg.T, xd @ wu.T
    # Errors of g and u (bounded as in assert_dot) carried through SiLU(g) * u, plus the store.
    dg, du = 4 * eps * (xd.abs() @ wg.abs().T), 4 * eps * (xd.abs() @ wu.abs().T)
    expected = nnf.silu(g) * u
    bound = 1.1 * dg * u.abs() + du * nnf.silu(g).abs() + 2 * eps * expected.abs() + 1e-30
    assert ((y.cpu().double() - expected).abs() <= bound).all()


def test_rows_beyond_whole_work_groups_are_not_computed():
    n, k = 7, 256
    w = packed(Q4_0, n, k, seed=3)
    x = row(k, torch.float32)
    y, [launch] = traced(lambda: vorn_linear.linear_forward_vec(x, w, k, n, Q4_0))
    assert y.shape == (1, 7) and launch.global_range == (4,)
    assert_dot(y[:, :4], x, half_weights(Q4_0, w, n, k)[:4], 4 * 2.0 ** -20)
    _, [launch] = traced(lambda: vorn_linear.mlp_forward_vec(x, w, w, k, n, Q4_0))
    assert launch.global_range == (12,)


def test_reads_the_first_row_and_the_nibble_order_of_the_qtype():
    n, k = 8, 256
    w = packed(Q4_0, n, k, seed=4)
    x = torch.randn(3, k, device="xpu")
    y = vorn_linear.linear_forward_vec(x, w, k, n, Q4_0)
    assert y.shape == (1, n)
    assert_dot(y, x[:1], half_weights(Q4_0, w, n, k), 4 * 2.0 ** -20)
    woq = vorn_linear.linear_forward_vec(x, w, k, n, Q4_0_WOQ)
    assert_dot(woq, x[:1], half_weights(Q4_0_WOQ, w, n, k), 4 * 2.0 ** -20)
    assert not torch.equal(y.cpu(), woq.cpu())


def test_qtype_is_checked_before_dtype():
    w = packed(Q4_0, 4, 64, seed=5)
    with pytest.raises(RuntimeError, match="^unsupported qtype: 10$"):
        vorn_linear.linear_forward_vec(row(64, torch.float16), w, 64, 4, 10)
    with pytest.raises(RuntimeError, match="^unsupported qtype: 8$"):
        vorn_linear.mlp_forward_vec(row(64, torch.bfloat16), w, w, 64, 4, 8)
    for call in (lambda x: vorn_linear.linear_forward_vec(x, w, 64, 4, Q4_0),
                 lambda x: vorn_linear.mlp_forward_vec(x, w, w, 64, 4, Q4_0_WOQ)):
        with pytest.raises(RuntimeError, match="^unsupported dtype, only fp32 and fp16 are supported$"):
            call(row(64, torch.bfloat16))


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda w: (row(128, torch.float32), w[:-1], 128, 4), "weight holds 271 bytes; a q4_0 matrix of 4 x 128 weights needs 272"),
        (lambda w: (row(64, torch.float32), w, 128, 4), "input must hold at least 128 elements, got 64"),
        (lambda w: (row(128, torch.float32), w, 100, 4), r"in_features \(K\) must be a positive multiple of 64, got 100"),
        (lambda w: (row(128, torch.float32), w, 0, 4), r"in_features \(K\) must be a positive multiple of 64, got 0"),
        (lambda w: (torch.randn(1, 128), w, 128, 4), "input must be a XPU tensor"),
        (lambda w: (torch.randn(128, 2, device="xpu").t(), w, 128, 4), "input must be contiguous"),
        (lambda w: (row(128, torch.float32), w.view(torch.int8), 128, 4), "weight must be a one-dimensional uint8"),
        (lambda w: (row(128, torch.float32), w.cpu(), 128, 4), "weight must be a XPU tensor"),
        (lambda w: (row(128, torch.float32), w.to("xpu:1"), 128, 4), "weight must be on xpu:0, got xpu:1"),
    ],
)
def test_bad_operands_are_rejected(make, message):
    w = packed(Q4_0, 4, 128, seed=6)
    x, weight, k, n = make(w)
    with pytest.raises(RuntimeError, match=message):
        vorn_linear.linear_forward_vec(x, weight, k, n, Q4_0)
    with pytest.raises(RuntimeError, match=message.replace("weight", "weight1", 1)):
        vorn_linear.mlp_forward_vec(x, weight, w, k, n, Q4_0)


def test_mlp_checks_the_up_weight():
    w = packed(Q4_0, 4, 128, seed=7)
    with pytest.raises(RuntimeError, match="weight2 holds 68 bytes"):
        vorn_linear.mlp_forward_vec(row(128, torch.float32), w, w[:68], 128, 4, Q4_0)


def test_docstrings():
    assert "linear forward new" in vorn_linear.linear_forward_vec.__doc__
    assert "mlp forward new" in vorn_linear.mlp_forward_vec.__doc__
