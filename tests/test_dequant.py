import numpy as np
import pytest
import torch

import vorn_linear
from reference_decoders import BLOCK, ref_decode, ref_parts
from vorn import xpu
from vorn.quantize import qtypes

QTYPES = qtypes()
DTYPES = [torch.float32, torch.float64, torch.float16, torch.bfloat16]
SELUM, TAVOK = 0x030dc008, 0x030f0007


def random_packed(qtype, n, k, seed=0):
    """Random bytes: every code and scale pattern occurs, inf and NaN scales included."""
    weights, size = BLOCK[qtype]
    generator = torch.Generator().manual_seed(seed)
    return torch.randint(0, 256, (n * k // weights * size,), dtype=torch.uint8, generator=generator)


def expected(qtype, packed, n, k, dtype):
    """The weights in `dtype`'s arithmetic: value, scale and offset converted to it, then
    combined."""
    value, scale, offset = ref_parts(qtype, packed.cpu().numpy(), n, k)
    product = torch.from_numpy(value).to(dtype) * torch.from_numpy(scale).to(dtype)
    return product if offset is None else product + torch.from_numpy(offset).to(dtype)


@pytest.mark.parametrize("name", sorted(QTYPES))
@pytest.mark.parametrize("dtype", DTYPES)
def test_dequant_matches_reference(name, dtype):
    qtype = QTYPES[name]
    n, k = 6, 512
    packed = random_packed(qtype, n, k).to("xpu")
    x = torch.zeros(1, k, dtype=dtype, device="xpu")
    out = vorn_linear.dequant(x, packed, qtype)
    assert out.shape == (n, k) and out.dtype == dtype and out.is_xpu
    torch.testing.assert_close(out.cpu(), expected(qtype, packed, n, k, dtype), rtol=0, atol=0, equal_nan=True)
    if dtype == torch.float32:
        np.testing.assert_array_equal(out.cpu().numpy(), ref_decode(qtype, packed.cpu().numpy(), n, k))


def run_traced(fn):
    xpu.clear_launch_trace()
    result = fn()
    return result, xpu.launch_trace()


@pytest.mark.parametrize(
    "code, k, dtype, kernel, work_items, sub_group",
    [
        (SELUM, 64, torch.float32, "qlinear_xpu_dequantize_kernel_q4_0_1x4", 16, 32),
        (SELUM, 1024, torch.float32, "qlinear_xpu_dequantize_kernel_q4_0_1x4", 256, 32),
        (SELUM, 1088, torch.float32, "qlinear_xpu_dequantize_kernel_q4_0_1x4", 16, 32),
        (TAVOK, 1088, torch.float16, "qlinear_xpu_dequantize_kernel_q4_0_1x2", 32, 16),
    ],
)
def test_row_kernel_work_split(restore_architectures, code, k, dtype, kernel, work_items, sub_group):
    xpu.set_architecture(0, code)
    n = 3
    packed = random_packed(QTYPES["q4_0"], n, k).to("xpu")
    _, [launch] = run_traced(lambda: vorn_linear.dequant(torch.zeros(1, k, dtype=dtype, device="xpu"), packed, 2))
    assert (launch.name, launch.global_range, launch.local_range, launch.sub_group_size) == (
        kernel, (n * work_items,), (work_items,), sub_group)


def test_q8_0_fp16_on_selum_uses_two_weights_per_step(restore_architectures):
    xpu.set_architecture(0, SELUM)
    packed = random_packed(QTYPES["q8_0"], 2, 4096).to("xpu")
    _, [launch] = run_traced(lambda: vorn_linear.dequant(torch.zeros(1, 4096, dtype=torch.float16, device="xpu"),
                                                         packed, QTYPES["q8_0"]))
    assert launch.name == "qlinear_xpu_dequantize_kernel_q8_0_1x2" and launch.sub_group_size == 32
    assert launch.local_range == (256,)


def test_fp8_e5m2_has_no_scale():
    k = 64
    packed = torch.zeros(k + 4, dtype=torch.uint8)
    packed[:k] = 0x3C
    packed[k:] = torch.tensor([0, 0, 0, 64], dtype=torch.uint8)  # a stored scale of 2.0, never read
    out = vorn_linear.dequant(torch.zeros(1, k, device="xpu"), packed.to("xpu"), QTYPES["fp8_e5m2"])
    assert torch.equal(out.cpu(), torch.full((1, k), 1.125))


@pytest.mark.parametrize(
    "make_input, weight_transform, qtype, error, message",
    [
        (lambda: torch.zeros(1, 64), lambda w: w, 2, RuntimeError, "input must be a XPU tensor"),
        (lambda: torch.zeros(1, 64), lambda w: w.cpu(), 2, RuntimeError, "input must be a XPU tensor"),
        (lambda: torch.zeros(64, 2, device="xpu").t(), lambda w: w, 2, RuntimeError, "input must be contiguous"),
        (lambda: torch.zeros(1, 64, device="xpu"), lambda w: w.cpu(), 2, RuntimeError, "weight must be a XPU tensor"),
        (lambda: torch.zeros(1, 64, device="xpu"), lambda w: w.reshape(2, -1).t(), 2, RuntimeError,
         "weight must be contiguous"),
        (lambda: torch.zeros(1, 100, device="xpu"), lambda w: w, 2, RuntimeError, "100 must be a multiple of 64"),
        (lambda: torch.zeros(1, 64, dtype=torch.int32, device="xpu"), lambda w: w, 2, RuntimeError,
         "\"qlinear_forward_xpu\" not implemented for 'Int'"),
        (lambda: torch.zeros(1, 64, device="xpu"), lambda w: w, 9, RuntimeError, "unsupported qtype: 9"),
        (lambda: torch.zeros(1, 64, device="xpu"), lambda w: w, 40, RuntimeError, "unsupported qtype: 40"),
        (lambda: torch.zeros(1, 0, device="xpu"), lambda w: w, 2, RuntimeError, "in_features"),
    ],
)
def test_dequant_rejects(make_input, weight_transform, qtype, error, message):
    weight = weight_transform(random_packed(QTYPES["q4_0"], 4, 64).to("xpu"))
    with pytest.raises(error, match=message):
        vorn_linear.dequant(make_input(), weight, qtype)


def test_operator_matches_module_and_is_profiled():
    packed = random_packed(QTYPES["nf4"], 4, 128).to("xpu")
    x = torch.zeros(1, 128, device="xpu")
    with torch.profiler.profile() as profile:
        module = vorn_linear.dequant(x, packed, QTYPES["nf4"])
    operator = torch.ops.lumora.dequant(x, packed, QTYPES["nf4"])
    assert torch.equal(module.cpu(), operator.cpu())
    assert "kavrin_xpu_dequant" in {event.name for event in profile.events()}


ESIMD = {  # format -> (blocks per work-item, decodes in fp16 for fp32 output)
    "q4_0": (8, True), "q4_1": (8, True), "fp4": (8, True), "q8_0": (4, True), "fp8_e4m3": (4, True),
    "fp8_e5m2": (4, True), "fp6": (8, True), "fp6_k": (2, True), "q4_k": (2, False), "q6_k": (2, False),
}


@pytest.mark.parametrize("name", sorted(ESIMD))
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_esimd_dequantize_matches_reference(name, dtype):
    qtype = QTYPES[name]
    per_item, in_fp16 = ESIMD[name]
    weights = BLOCK[qtype][0]
    n, k = 5, 512  # 5 * 512 / weights blocks: not always a multiple of the blocks per work-item
    packed = random_packed(qtype, n, k).to("xpu")
    out = torch.empty(n, k, dtype=dtype, device="xpu")
    result, [launch] = run_traced(lambda: torch.ops.vorn_host.dequantize_into(packed, out, name))
    arithmetic = torch.float16 if in_fp16 else dtype
    torch.testing.assert_close(out.cpu(), expected(qtype, packed, n, k, arithmetic).to(dtype), rtol=0, atol=0,
                               equal_nan=True)
    blocks = n * k // weights
    assert launch.global_range == (-(-blocks // per_item),) and launch.local_range == (1,)
    assert result.data_ptr() == out.data_ptr()


@pytest.mark.parametrize("rows, items", [(64, 8), (32, 4)])
def test_esimd_work_items(rows, items):
    packed = random_packed(QTYPES["q4_0"], rows, 64).to("xpu")
    out = torch.empty(rows, 64, device="xpu")
    _, [launch] = run_traced(lambda: torch.ops.vorn_host.dequantize_into(packed, out, "q4_0"))
    assert launch.global_range == (items,)


def test_esimd_dequantize_rejects_bf16():
    packed = random_packed(QTYPES["q4_0"], 2, 64).to("xpu")
    with pytest.raises(RuntimeError, match="unsupported dtype, only fp32 and fp16 are supported"):
        torch.ops.vorn_host.dequantize_into(packed, torch.empty(2, 64, dtype=torch.bfloat16, device="xpu"), "q4_0")


@pytest.mark.parametrize("name", ["q2_k", "q4_k"])
def test_dequantize_rows_gathers_reference_rows(name):
    qtype, n, k = QTYPES[name], 7, 512
    packed = random_packed(qtype, n, k).to("xpu")
    index = torch.tensor([[6, 0, 3], [3, 3, 1]])
    out = vorn_linear.dequantize_rows(index.to("xpu"), packed, qtype, k, n)
    assert out.shape == (2, 3, k) and out.dtype == torch.float32
    reference = torch.from_numpy(ref_decode(qtype, packed.cpu().numpy(), n, k))
    torch.testing.assert_close(out.cpu(), reference[index], rtol=0, atol=0, equal_nan=True)
    operator = torch.ops.lumora.dequantize_rows(index.to("xpu"), packed, qtype, k, n)
    torch.testing.assert_close(operator.cpu(), out.cpu(), rtol=0, atol=0, equal_nan=True)


@pytest.mark.parametrize(
    "index, qtype, k, message",
    [
        (torch.zeros(2, 3, dtype=torch.long), 23, 100, "100 must be a multiple of 64"),
        (torch.zeros(2, 3, dtype=torch.long), 23, 320, "multiple of 256"),
        (torch.tensor([[0, 7]]), 23, 256, r"row indices must lie in \[0, 7\)"),
        (torch.tensor([[-1, 0]]), 23, 256, r"row indices must lie in \[0, 7\)"),
        (torch.zeros(2, 3, dtype=torch.long), 2, 256, "unsupported qtype: 2"),
        (torch.zeros(2, 3, dtype=torch.int32), 23, 256, "int64"),
        (torch.zeros(3, 2, dtype=torch.long).t(), 23, 256, "input must be contiguous"),
    ],
)
def test_dequantize_rows_rejects(index, qtype, k, message):
    packed = random_packed(23, 7, 256).to("xpu")
    with pytest.raises(RuntimeError, match=message):
        vorn_linear.dequantize_rows(index.to("xpu"), packed, qtype, k, 7)


# Outputs of 32 MiB and more are written with streaming stores, through a staging buffer.
@pytest.mark.parametrize("name", ["q4_1", "nf4", "fp8_e4m3", "q4_k"])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_large_outputs_match_reference(name, dtype):
    qtype = QTYPES[name]
    n, k = (32 << 20) // (4096 * dtype.itemsize), 4096
    packed = random_packed(qtype, n, k).to("xpu")
    out = vorn_linear.dequant(torch.zeros(1, k, dtype=dtype, device="xpu"), packed, qtype)
    torch.testing.assert_close(out.cpu(), expected(qtype, packed, n, k, dtype), rtol=0, atol=0, equal_nan=True)


def test_large_output_at_an_unaligned_address():
    n, k = 2048, 4096
    packed = random_packed(QTYPES["q4_0"], n, k).to("xpu")
    storage = torch.full((n * k + 24,), 7.0, device="xpu")
    out = storage[5:5 + n * k].view(n, k)
    torch.ops.vorn_host.dequantize_into(packed, out, "q4_0")
    reference = expected(QTYPES["q4_0"], packed, n, k, torch.float16).float()
    torch.testing.assert_close(out.cpu(), reference, rtol=0, atol=0, equal_nan=True)
    assert (storage[:5] == 7).all() and (storage[5 + n * k:] == 7).all()
