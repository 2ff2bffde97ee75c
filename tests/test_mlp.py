import math

import numpy as np
import pytest
import torch

import vorn_linear
from q8_1_reference import q8_1_fields, quantize_q8_1_reference
from reference_decoders import ref_parts
from vorn import xpu
from vorn.quantize import qtypes, quantize

QTYPES = qtypes()
FORMATS = ["q4_0", "q4_0_woq", "fp4", "fp8_e5m2", "fp6"]
CLASSES = {"default": 0x030f0007, "selum": 0x030dc008, "legacy": 0x03000000}
TOLERANCE = {torch.float64: 1e-6,  # the activation is evaluated in fp32
             torch.float32: 1e-4, torch.float16: 2e-2, torch.bfloat16: 1.5e-1}


def packed_weight(name, n, k, seed, unit_scales=False):
    weight = torch.randn(n, k, generator=torch.Generator().manual_seed(seed))
    packed = quantize(weight, name)
    if name == "fp8_e5m2":  # per-block fp32 scales, which only the fused kernel reads
        scales = torch.rand(n * k // 64, generator=torch.Generator().manual_seed(seed)) + 0.5
        if unit_scales:  # as our quantizer stores, except one block in five of rows 1, 4, 7, ...
            block = torch.arange(scales.numel())
            scales = torch.where((block // (k // 64) % 3 == 1) & (block % 5 == 2), scales, 1.0)
        packed[n * k:] = scales.view(torch.uint8)
    return packed


def reference_weight(name, packed, n, k):
    value, scale, offset = ref_parts(QTYPES[name], packed.numpy(), n, k)
    weight = value.astype(np.float64) * scale
    if name == "fp8_e5m2":
        block_scale = packed[n * k:].view(torch.float32).double().numpy()
        weight = weight * np.repeat(block_scale, 64).reshape(n, k)
    return torch.from_numpy(weight)


def reference(x, w1, w2, act_type):
    gate, up = x.double() @ w1.T, x.double() @ w2.T
    if act_type == 0:
        return gate * up / (torch.exp(-gate) + 1)
    return 0.5 * gate * (torch.tanh(0.7978846 * (gate + 0.044715 * gate ** 3)) + 1) * up


def run(name, n, k, dtype, act_type=0, batch=1, unit_scales=False):
    w1, w2 = packed_weight(name, n, k, 1, unit_scales), packed_weight(name, n, k, 2, unit_scales)
    x = torch.randn(batch, k, generator=torch.Generator().manual_seed(3)).to(dtype)
    out = vorn_linear.mlp_forward_xpu(x.to("xpu"), w1.to("xpu"), w2.to("xpu"), batch, k, n, act_type, QTYPES[name])
    expected = reference(x, reference_weight(name, w1, n, k), reference_weight(name, w2, n, k), act_type)
    return out, expected


# An odd N: the last work-group's last row is one that others compute in pairs or fours. K of
# less than a step, and of pairs of steps and a partial one.
@pytest.mark.parametrize("k", [256, 1280])
@pytest.mark.parametrize("name", FORMATS)
@pytest.mark.parametrize("dtype", list(TOLERANCE))
@pytest.mark.parametrize("device_class", list(CLASSES))
def test_matches_reference(restore_architectures, name, dtype, device_class, k):
    xpu.set_architecture(0, CLASSES[device_class])
    act_type = 0 if dtype in (torch.float32, torch.float16) else 1
    out, expected = run(name, 23, k, dtype, act_type)
    assert out.dtype == dtype and out.shape == (1, 23)
    scale = expected.abs().max().item()
    torch.testing.assert_close(out.cpu().double(), expected, rtol=0, atol=TOLERANCE[dtype] * scale)


@pytest.mark.parametrize("dtype", list(TOLERANCE))
def test_fp8_e5m2_rows_with_and_without_unit_scales(dtype):
    # Rows whose blocks all hold 1 skip the multiplications by the scales; the others must not.
    out, expected = run("fp8_e5m2", 24, 1024, dtype, unit_scales=True)
    scale = expected.abs().max().item()
    torch.testing.assert_close(out.cpu().double(), expected, rtol=0, atol=TOLERANCE[dtype] * scale)


@pytest.mark.parametrize("act_type", [1, 2, -1])
def test_every_nonzero_act_type_is_gelu(act_type):
    out, expected = run("q4_0", 8, 128, torch.float32, act_type)
    torch.testing.assert_close(out.cpu().double(), expected, rtol=1e-4, atol=1e-5)


def test_all_rows_of_a_batch_are_computed():
    out, expected = run("fp4", 6, 128, torch.float32, 0, batch=3)
    assert out.shape == (3, 6)
    torch.testing.assert_close(out.cpu().double(), expected, rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize(
    "device_class, n, k, groups, local, sub_group",
    [("default", 10, 64, 5, 32, 16), ("selum", 10, 1088, 5, 64, 32), ("legacy", 7, 128, 1, 32, 16),
     ("legacy", 17, 128, 3, 32, 16)],
)
def test_launch_geometry_and_row_guard(restore_architectures, device_class, n, k, groups, local, sub_group):
    xpu.set_architecture(0, CLASSES[device_class])
    xpu.clear_launch_trace()
    out, expected = run("q4_0", n, k, torch.float32)
    [launch] = xpu.launch_trace()
    assert (launch.name, launch.global_range, launch.local_range, launch.sub_group_size) == (
        "mlp_forward_q4_0_kernel", (groups * local,), (local,), sub_group)
    torch.testing.assert_close(out.cpu().double(), expected, rtol=1e-4, atol=1e-5)


def test_operator_matches_module_and_is_profiled():
    w1, w2 = (quantize(torch.randn(8, 128), "q4_0").to("xpu") for _ in range(2))
    x = torch.randn(1, 128, device="xpu")
    with torch.profiler.profile() as profile:
        module = vorn_linear.mlp_forward_xpu(x, w1, w2, 1, 128, 8, 0, 2)
    operator = torch.ops.lumora.mlp_forward_xpu(x, w1, w2, 1, 128, 8, 0, 2)
    assert torch.equal(module.cpu(), operator.cpu())
    assert "mlp_forward" in {event.name for event in profile.events()}


@pytest.mark.parametrize(
    "name, k, dtype, error, message",
    [
        ("q4_0", 128, torch.int32, NotImplementedError, "\"mlp_forward_q4_0_xpu_t\" not implemented for 'Int'"),
        ("q4_0", 40, torch.float32, RuntimeError, "40 must be a multiple of 16"),
        ("q4_0", 32, torch.float32, RuntimeError, "state_size 32 must be a multiple of 64"),
        ("fp8_e5m2", 40, torch.float32, RuntimeError, "state_size 40 must be a multiple of 64"),
        ("q8_0", 128, torch.float32, RuntimeError, r"no fused kernel for qtype 8 \(q8_0\) on a device of class tavok"),
    ],
)
def test_rejects(name, k, dtype, error, message):
    n = 4
    w = torch.zeros(math.ceil(n * k / 64) * 68, dtype=torch.uint8, device="xpu")
    with pytest.raises(error, match=message):
        vorn_linear.mlp_forward_xpu(torch.zeros(1, k, dtype=dtype, device="xpu"), w, w, 1, k, n, 0, QTYPES[name])


def test_rejects_short_weights():
    w = quantize(torch.randn(4, 128), "q4_0").to("xpu")
    with pytest.raises(RuntimeError, match="weight2 holds 272 bytes"):
        vorn_linear.mlp_forward_xpu(torch.zeros(1, 128, device="xpu"), torch.cat([w, w]), w, 1, 128, 8, 0, 2)


IQ2_CLASSES = ["selum", "legacy"]


def iq2_reference(x, packed1, packed2, n, k, act_type):
    """The gate and up products with the q8_1-dequantized activations the kernel reads."""
    d8, _, q = q8_1_fields(quantize_q8_1_reference(x.float().numpy()))
    activations = torch.from_numpy((d8[:, None] * q).reshape(x.shape[0], k))
    return reference(activations, reference_weight("iq2_xxs", packed1, n, k),
                     reference_weight("iq2_xxs", packed2, n, k), act_type)


@pytest.mark.parametrize("device_class", IQ2_CLASSES)
@pytest.mark.parametrize("dtype", list(TOLERANCE))
@pytest.mark.parametrize("n", [6, 7])
def test_iq2_xxs_matches_reference(restore_architectures, device_class, dtype, n):
    xpu.set_architecture(0, CLASSES[device_class])
    k, batch = 512, 2
    w1, w2 = packed_weight("iq2_xxs", n, k, 1), packed_weight("iq2_xxs", n, k, 2)
    x = torch.randn(batch, k, generator=torch.Generator().manual_seed(3)).to(dtype)
    xpu.clear_launch_trace()
    out = vorn_linear.mlp_forward_xpu(x.to("xpu"), w1.to("xpu"), w2.to("xpu"), batch, k, n, 0, QTYPES["iq2_xxs"])
    expected = iq2_reference(x, w1, w2, n, k, 0)
    scale = expected.abs().max().item()
    torch.testing.assert_close(out.cpu().double(), expected, rtol=0, atol=max(TOLERANCE[dtype], 1e-4) * scale)
    launch = [launch for launch in xpu.launch_trace() if launch.name == "mlp_forward_iq2_xxs_kernel"][0]
    assert (launch.global_range, launch.local_range, launch.sub_group_size) == (((n + 1) // 2 * 32, 2), (32, 2), 32)


def test_iq2_xxs_is_not_in_the_default_table():
    w = torch.zeros(4 * 256 // 256 * 66, dtype=torch.uint8, device="xpu")
    with pytest.raises(RuntimeError, match=r"no fused kernel for qtype 21 \(iq2_xxs\) on a device of class tavok"):
        vorn_linear.mlp_forward_xpu(torch.zeros(1, 256, device="xpu"), w, w, 1, 256, 4, 0, QTYPES["iq2_xxs"])
