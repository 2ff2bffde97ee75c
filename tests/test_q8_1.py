"""The q8_1 activation path: block_q8_1 quantization and the forwards of q2_k, iq2_xxs, iq1_s
and q5_k (batch 1 through their matrix-vector kernels, other batches through a dense linear)."""

import numpy as np
import pytest
import torch

from q8_1_reference import q8_1_fields, quantize_q8_1_reference
from reference_decoders import ref_parts
from vorn import xpu
from vorn.quantize import quantize

FORMATS = {"iq2_xxs": 21, "q2_k": 23, "iq1_s": 24, "q5_k": 28}
Q8_1_FORMATS = ["q2_k", "iq2_xxs", "iq1_s"]
DTYPES = [torch.float32, torch.float16, torch.bfloat16, torch.float64]
EPS32 = float(np.finfo(np.float32).eps)
# Relative rounding of one result element in its own type.
OUTPUT_EPS = {torch.float32: EPS32, torch.float64: EPS32, torch.float16: 2.0 ** -11, torch.bfloat16: 2.0 ** -8}


def quantize_probe(x):
    return torch.ops.vorn_host.quantize_row_q8_1(x).cpu().numpy().reshape(-1, 36)


def forward(x, packed, name):
    return torch.ops.vorn_host.q8_1_forward(x, packed, FORMATS[name])


def traced(fn):
    xpu.clear_launch_trace()
    result = fn()
    return result, [(t.name, t.global_range, t.local_range, t.sub_group_size) for t in xpu.launch_trace()]


@pytest.mark.parametrize("dtype", DTYPES)
def test_quantization_matches_reference_bit_for_bit(dtype):
    scales = torch.tensor([1e-3, 1.0, 300.0]).repeat_interleave(96)
    x = (torch.randn(2, 288) * scales).to(dtype)
    x[0, :32] = 0  # an all-zero block
    x[1, 32:64] = 7.0  # a constant block
    x[0, 64:96] = torch.arange(32) - 15.5  # d = 1: every ratio is a half
    x[0, 64] = 127.0
    x[1, 64:96] = 2.0 ** -24  # the sum depends on the order of additions
    x[1, 64], x[1, 80] = 1.0, -1.0
    expected = quantize_q8_1_reference(x.to(torch.float32).numpy())
    np.testing.assert_array_equal(quantize_probe(x.to("xpu")), expected)


def test_quantization_edge_values():
    x = torch.zeros(3, 32)
    x[1, :6] = torch.tensor([127.0, 0.5, -0.5, 2.5, -2.5, 1.49])
    x[2, :2] = torch.tensor([float("nan"), 1.0])
    d, s, q = q8_1_fields(quantize_probe(x.to("xpu")))
    assert d[0] == 0 and s[0] == 0 and not q[0].any()
    assert d[1] == 1.0 and s[1] == np.float16(127.0 + 1.49)
    assert q[1, :7].tolist() == [127, 1, -1, 3, -3, 1, 0]
    # A NaN spreads to its block's scale (so to every product with it) instead of vanishing.
    assert np.isnan(d[2]) and np.isnan(s[2]) and not q[2].any()


def test_quantization_launch_covers_whole_blocks_only():
    x = torch.randn(1, 288, device="xpu")  # nine blocks: the last work-group is partly idle
    packed, launches = traced(lambda: quantize_probe(x))
    assert packed.shape == (9, 36)
    assert launches == [("quantize_xpu_kernel_q8_1", (512,), (256,), 32)]


def reference_terms(name, packed, x, n, k):
    """(terms, magnitudes), float64 [n, k]: weight times the activation the kernel reads
    (q8_1-dequantized for the q8_1 formats, fp32 for q5_k), whose row sums are the exact batch-1
    result, and the magnitudes of what the kernel adds, which bound its fp32 rounding."""
    value, scale, offset = (p if p is None else p.astype(np.float64) for p in ref_parts(FORMATS[name], packed, n, k))
    offset = np.zeros_like(value) if offset is None else offset
    x32 = x.astype(np.float32).reshape(-1)
    if name == "q5_k":
        a = x32.astype(np.float64)
    else:
        d8, s8, q = q8_1_fields(quantize_q8_1_reference(x32))
        a = (d8[:, None] * q).reshape(-1)
    terms = (value * scale + offset) * a
    magnitudes = (np.abs(value * scale) + np.abs(offset)) * np.abs(a)
    if name == "iq1_s":
        # Each group's offset term takes the exact activation sum s8, not d8 * sum(q): the
        # difference goes with the group's first weight.
        delta = np.where(value[:, ::32] % 1 == 0.875, -1.125, -0.875)
        terms[:, ::32] += scale[:, ::32] * delta * (s8 - d8 * q.sum(axis=1))
        magnitudes[:, ::32] += np.abs(scale[:, ::32] * delta * s8)
    return terms, magnitudes


@pytest.mark.parametrize("name", sorted(FORMATS))
@pytest.mark.parametrize("dtype", DTYPES)
def test_batch_1_matches_reference(name, dtype):
    n, k = 7, 512
    packed = quantize(torch.randn(n, k), name)
    x = torch.randn(1, k).to(dtype)
    out = forward(x.to("xpu"), packed.to("xpu"), name)
    assert out.shape == (1, n) and out.dtype == dtype and out.is_xpu
    terms, magnitudes = reference_terms(name, packed.numpy(), x.to(torch.float64).numpy(), n, k)
    reference = terms.sum(axis=1)
    error = np.abs(out.cpu().to(torch.float64).numpy()[0] - reference)
    assert np.all(error <= k / 8 * EPS32 * magnitudes.sum(axis=1) + OUTPUT_EPS[dtype] * np.abs(reference))


@pytest.mark.parametrize("dtype", DTYPES)
def test_q5_k_batch_1_adds_in_its_lane_order(dtype):
    """Lane m of parity i % 2 adds x * w of weights 16t + m (t = 0..15) of super-block i in order,
    each weight decoded as fp32 q * scale + offset, and the 32 lane sums meet in a tree: the result
    is exact to that order, in every build."""
    n, k = 5, 768
    rng = np.random.default_rng(28)
    blocks = rng.integers(0, 256, size=(n * k // 256, 176), dtype=np.uint8)
    blocks[:, :4] = rng.uniform(1e-3, 0.1, size=(len(blocks), 2)).astype(np.float16).view(np.uint8)
    x = torch.randn(1, k).to(dtype)
    out = forward(x.to("xpu"), torch.from_numpy(blocks.reshape(-1)).to("xpu"), "q5_k")
    value, scale, offset = ref_parts(FORMATS["q5_k"], blocks, n, k)
    products = (x.to(torch.float32).numpy() * (value * scale + offset)).reshape(n, k // 256, 16, 16)
    lanes = np.zeros((n, 2, 16), dtype=np.float32)
    for i in range(k // 256):
        for t in range(16):
            lanes[:, i % 2] += products[:, i, t]
    local = lanes.reshape(n, 32)
    for stride in (16, 8, 4, 2, 1):
        local[:, :stride] += local[:, stride:2 * stride]
    assert torch.equal(out.cpu()[0], torch.from_numpy(local[:, 0]).to(dtype))


def slice_weights(name, iqs):
    """The weights of a super-block that slice iqs of the format's vec_dot covers."""
    if name != "q2_k":
        return np.arange(32 * iqs, 32 * iqs + 32)
    h, g = divmod(iqs, 8)  # qs bytes 4*iqs .. 4*iqs + 3 at all four shifts
    return np.array([128 * h + 32 * s + 4 * g + j for s in range(4) for j in range(4)])


def tree_sum_32(values):
    local = np.asarray(values, dtype=np.float32).copy()
    for stride in (16, 8, 4, 2, 1):
        local[:stride] += local[stride:2 * stride]
    return local[0]


@pytest.mark.parametrize("name", Q8_1_FORMATS)
def test_vec_dot_slices_and_their_sum(name):
    n, super_blocks = 2, 5
    packed = quantize(torch.randn(n, 256 * super_blocks), name).to("xpu")
    x = torch.randn(1, 256 * super_blocks, device="xpu")
    x[0, 256:288] *= 1e-39  # a subnormal block scale: codes as low as -128
    q8 = torch.ops.vorn_host.quantize_row_q8_1(x)
    slices = 16 if name == "q2_k" else 8
    block_bytes = packed.numel() // (n * super_blocks)

    def values(row, i):
        block = packed[(row * super_blocks + i) * block_bytes:][:block_bytes]
        return np.array([torch.ops.vorn_host.vec_dot_q8_1(block, q8[288 * i:], FORMATS[name], iqs)
                         for iqs in range(slices)], dtype=np.float32)

    first = values(0, 0)
    terms, magnitudes = reference_terms(name, packed[:block_bytes].cpu().numpy(), x[:, :256].cpu().numpy(), 1, 256)
    for iqs in range(slices):
        covered = slice_weights(name, iqs)
        assert abs(first[iqs] - terms[0, covered].sum()) <= 16 * EPS32 * magnitudes[0, covered].sum()
    # Each row is the tree sum of its work-items' partial sums: work-item p * slices + iqs adds
    # slice iqs of super-blocks p, p + 32 / slices, ... in that order, in fp32.
    expected = []
    for row in range(n):
        partial = np.zeros(32, dtype=np.float32)
        for i in range(super_blocks):
            phase = i % (32 // slices)
            partial[phase * slices:(phase + 1) * slices] += values(row, i)
        expected.append(tree_sum_32(partial))
    assert forward(x, packed, name).cpu().numpy()[0].tolist() == expected


@pytest.mark.parametrize("name", sorted(FORMATS))
@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("batch", [0, 3])
def test_other_batches_use_dense_weights(name, dtype, batch):
    n, k = 5, 512
    packed = quantize(torch.randn(n, k), name)
    x = torch.randn(batch, k).to(dtype)
    out, launches = traced(lambda: forward(x.to("xpu"), packed.to("xpu"), name))
    assert launches == [(f"qlinear_xpu_dequantize_kernel_{name}", (n * k // 256 * 32,), (32,), 0)]
    assert out.shape == (batch, n) and out.dtype == dtype
    # The weights in the input type's arithmetic, then a dense product.
    value, scale, offset = ref_parts(FORMATS[name], packed.numpy(), n, k)
    weight = torch.from_numpy(value).to(dtype) * torch.from_numpy(scale).to(dtype)
    if offset is not None:
        weight = weight + torch.from_numpy(offset).to(dtype)
    x64, w64 = x.to(torch.float64), weight.to(torch.float64)
    reference = x64 @ w64.T
    bound = k * EPS32 * (x64.abs() @ w64.abs().T) + OUTPUT_EPS[dtype] * reference.abs()
    assert torch.all((out.cpu().to(torch.float64) - reference).abs() <= bound)


@pytest.mark.parametrize(
    "name, n, matvec",
    [
        ("q2_k", 5, ("qlinear_xpu_kernel_q2_k_q8_1", (5 * 32,), (32,), 0)),
        ("iq2_xxs", 5, ("qlinear_xpu_kernel_iq2_xxs_q8_1", (5 * 32,), (32,), 32)),
        ("iq1_s", 5, ("qlinear_xpu_kernel_iq1_s_q8_1", (5 * 32,), (32,), 32)),
        ("q5_k", 5, ("qlinear_xpu_kernel_q5_k", (3 * 32,), (32,), 8)),
        ("q5_k", 6, ("qlinear_xpu_kernel_q5_k", (3 * 32,), (32,), 8)),
    ],
)
def test_batch_1_launches(name, n, matvec):
    k = 768
    packed = quantize(torch.randn(n, k), name).to("xpu")
    _, launches = traced(lambda: forward(torch.randn(1, k, device="xpu"), packed, name))
    quantization = [] if name == "q5_k" else [("quantize_xpu_kernel_q8_1", (768,), (256,), 32)]
    assert launches == quantization + [matvec]


@pytest.mark.parametrize("name", sorted(FORMATS))
def test_strided_input_reads_its_own_elements(name):
    n, k = 3, 256
    packed = quantize(torch.randn(n, k), name).to("xpu")
    wide = torch.randn(k, 2, device="xpu")
    torch.testing.assert_close(forward(wide[:, 1:].T, packed, name), forward(wide[:, 1:].T.contiguous(), packed, name),
                               rtol=0, atol=0)


@pytest.mark.parametrize("name", sorted(FORMATS))
@pytest.mark.parametrize("batch", [1, 2])
def test_rejects_bad_input(name, batch):
    packed = quantize(torch.randn(2, 256), name).to("xpu")
    x = torch.randn(batch, 256, device="xpu")
    with pytest.raises(RuntimeError, match="^\"qlinear_forward_xpu\" not implemented for 'Int'$"):
        forward(x.to(torch.int32), packed, name)
    with pytest.raises(RuntimeError, match=f"xpu_forward_{name}: in_features \\(K\\) 320 must be a positive "
                                           "multiple of 256, the super-block size"):
        forward(torch.randn(batch, 320, device="xpu"), torch.zeros(4 * 5 * 88, dtype=torch.uint8, device="xpu"), name)
    with pytest.raises(RuntimeError, match="input must be a XPU tensor"):
        forward(x.cpu(), packed, name)
    with pytest.raises(RuntimeError, match="must be on the same device"):
        forward(x, packed.to("xpu:1"), name)
    with pytest.raises(RuntimeError, match="weight must be a one-dimensional uint8 tensor"):
        forward(x, packed.view(2, -1), name)


def test_quantization_rejects_partial_blocks():
    with pytest.raises(RuntimeError, match="quantize_row_q8_1: K = 48 must be a multiple of 32"):
        torch.ops.vorn_host.quantize_row_q8_1(torch.randn(2, 48, device="xpu"))


def test_weight_bytes_beyond_whole_rows_are_ignored():
    n, k = 3, 256
    packed = quantize(torch.randn(n, k), "iq2_xxs")
    x = torch.randn(1, k, device="xpu")
    padded = torch.cat([packed, torch.full((65,), 255, dtype=torch.uint8)])
    torch.testing.assert_close(forward(x, padded.to("xpu"), "iq2_xxs"), forward(x, packed.to("xpu"), "iq2_xxs"),
                               rtol=0, atol=0)
