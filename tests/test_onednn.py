"""The oneDNN layer: engines, streams, type map, the per-thread primitive cache, int4 GEMM."""

import threading

import pytest
import torch

import vorn_linear
from vorn import xpu
from vorn.quantize import quantize

ops = torch.ops.vorn_host
F16_E4M3, BF16_E4M3, F16_E5M2 = 8, 9, 6
NN, NT = 0, 1
NONE, SCALAR, BIAS_M, BIAS_N, BIAS_MN = range(5)


def primitive(dtypes=F16_E4M3, trans=NT, bias=NONE, m=4, n=32, k=64, ldb=None, device=0, key=0):
    ldb = ldb if ldb is not None else (k if trans == NT else n)
    address, hook_calls, _, _ = ops.matmul_primitive(dtypes, trans, bias, m, n, k, k, ldb, n, device, key)
    return address, hook_calls


@pytest.fixture
def fresh_shape():
    """A k no other test uses, so each test starts from cache misses."""
    fresh_shape.k += 64
    return fresh_shape.k


fresh_shape.k = 1024


def test_identical_calls_reuse_one_primitive_and_run_the_hook_once(fresh_shape):
    first, calls = primitive(k=fresh_shape)
    again, calls_after = primitive(k=fresh_shape)
    assert again == first and calls_after == calls


@pytest.mark.parametrize("change", [dict(ldb=2048), dict(dtypes=BF16_E4M3), dict(dtypes=F16_E5M2), dict(trans=NN),
                                    dict(key=1), dict(device=1), dict(bias=BIAS_N)])
def test_each_part_of_the_problem_gets_its_own_entry(fresh_shape, change):
    base, calls = primitive(k=fresh_shape)
    other, calls_after = primitive(k=fresh_shape, **change)
    assert other != base and calls_after == calls + 1
    assert primitive(k=fresh_shape) == (base, calls_after)


def test_bias_m_on_one_row_and_scalar_bias_are_different_primitives(fresh_shape):
    assert primitive(k=fresh_shape, m=1, bias=BIAS_M)[0] != primitive(k=fresh_shape, m=1, bias=SCALAR)[0]


def test_least_recently_used_entry_goes_after_512(fresh_shape):
    for key in range(512):
        primitive(k=fresh_shape, key=key)
    primitive(k=fresh_shape, key=0)  # touched: now key 1 is the oldest
    _, calls = primitive(k=fresh_shape, key=512)
    assert primitive(k=fresh_shape, key=0)[1] == calls  # kept
    assert primitive(k=fresh_shape, key=1)[1] == calls + 1  # evicted, built again


def test_a_second_thread_builds_its_own_primitive(fresh_shape):
    mine, _ = primitive(k=fresh_shape)
    theirs = []
    thread = threading.Thread(target=lambda: theirs.append(primitive(k=fresh_shape)))
    thread.start()
    thread.join()
    assert theirs[0][0] != mine and theirs[0][1] == 1


def test_fp8_weights_are_expanded_where_onednn_cannot_multiply_them(fresh_shape):
    _, _, multiplied, impl = ops.matmul_primitive(F16_E4M3, NT, NONE, 4, 32, fresh_shape, fresh_shape, fresh_shape, 32, 0, 0)
    assert multiplied in ("f8_e4m3", "f16") and not impl.startswith("ref")


def test_device_beyond_the_count_fails_the_engine_lookup():
    with pytest.raises(RuntimeError, match="device_count"):
        primitive(device=2)


def test_streams_follow_the_current_platform_stream():
    first = ops.current_onednn_stream()
    assert ops.current_onednn_stream() == first
    saved = xpu.current_stream()
    other = xpu.new_stream()
    xpu.set_stream(other)
    try:
        second = ops.current_onednn_stream()
        assert second != first and ops.current_onednn_stream() == second
    finally:
        xpu.set_stream(saved)
    assert ops.current_onednn_stream() == first


def test_engine_and_stream_come_from_the_current_device():
    engine0, stream0 = ops.current_onednn_engine(), ops.current_onednn_stream()
    xpu.set_device(1)
    try:
        assert ops.current_onednn_engine() != engine0 and ops.current_onednn_stream() != stream0
    finally:
        xpu.set_device(0)


@pytest.mark.parametrize("dtype,expected", [
    (torch.uint8, "u8"), (torch.int8, "s8"), (torch.int32, "s32"), (torch.float16, "f16"), (torch.float32, "f32"),
    (torch.bfloat16, "bf16"), (torch.float8_e5m2, "f8_e5m2"), (torch.float8_e4m3fn, "f8_e4m3"),
])
def test_type_map(dtype, expected):
    assert ops.onednn_dtype(torch.zeros(1, dtype=dtype, device="xpu")) == expected


@pytest.mark.parametrize("dtype,name", [(torch.float64, "Double"), (torch.int64, "Long"), (torch.bool, "Bool")])
def test_unmapped_types_are_refused(dtype, name):
    with pytest.raises(RuntimeError, match=f"^{name} is not supported in oneDNN!"):
        ops.onednn_dtype(torch.zeros(1, dtype=dtype, device="xpu"))


def test_memory_without_a_pointer_is_allocated_by_onednn():
    assert ops.onednn_allocates(256)


# Int4 GEMM ---------------------------------------------------------------------------------

def decoded(packed, k):
    return vorn_linear.dequant(torch.zeros(1, k, dtype=torch.float32, device="xpu"), packed, 34).cpu().double()


@pytest.mark.parametrize("m,k,n", [(1, 64, 16), (5, 256, 48), (33, 512, 40)])
def test_int4_gemm_matches_fp64_reference(m, k, n):
    packed = quantize(torch.randn(n, k), "q4_0_woq").to("xpu")
    x = torch.randn(m, k, dtype=torch.float16)
    y = ops.s4_gemm(x.to("xpu"), packed).cpu()
    assert y.shape == (m, n) and y.dtype == torch.float16
    expected = x.double() @ decoded(packed, k).t()
    assert (y.double() - expected).abs().max().item() <= 2e-3 * (expected.abs().max().item() + 1)


def test_int4_codes_contribute_code_minus_8_times_scale():
    k, n = 64, 3
    codes = torch.tensor([8, 0, 15], dtype=torch.uint8).repeat_interleave(k).reshape(n, k)
    packed = torch.cat([(codes[:, 0::2] | (codes[:, 1::2] << 4)).reshape(-1),
                        torch.tensor([1.0] * n, dtype=torch.float16).view(torch.uint8)]).to("xpu")
    y = ops.s4_gemm(torch.ones(1, k, dtype=torch.float16, device="xpu"), packed).cpu()
    assert y.tolist() == [[0.0, -8.0 * k, 7.0 * k]]


def test_scale_buffer_grows_per_device_and_never_shrinks():
    def gemm(n, device):
        packed = quantize(torch.randn(n, 512), "q4_0_woq").to(device)
        ops.s4_gemm(torch.randn(2, 512, dtype=torch.float16, device=device), packed)
        return ops.s4_gemm_scale_buffer(int(device[-1]))

    start, other_device = ops.s4_gemm_scale_buffer(1), ops.s4_gemm_scale_buffer(0)
    need = lambda n: n * 512 // 64 * 2  # noqa: E731
    assert gemm(48, "xpu:1") == max(start, need(48))
    assert gemm(400, "xpu:1") == max(start, need(400))
    assert gemm(16, "xpu:1") == max(start, need(400))
    assert ops.s4_gemm_scale_buffer(0) == other_device


def test_scales_are_reordered_by_one_group_per_column():
    packed = quantize(torch.randn(40, 256), "q4_0_woq").to("xpu")
    xpu.clear_launch_trace()
    ops.s4_gemm(torch.randn(2, 256, dtype=torch.float16, device="xpu"), packed)
    [record] = [r for r in xpu.launch_trace() if r.name == "transpose_scale_kernel"]
    assert record.global_range == (4 * 40,) and record.local_range == (4,)


@pytest.mark.parametrize("x,message", [
    (torch.ones(2, 96, dtype=torch.float16), "K must be a positive multiple of 64"),
    (torch.ones(2, 128, dtype=torch.float32), "input must be fp16"),
])
def test_int4_gemm_refuses_what_it_cannot_multiply(x, message):
    with pytest.raises(RuntimeError, match=message):
        ops.s4_gemm(x.to("xpu"), torch.zeros(34 * 4, dtype=torch.uint8, device="xpu"))
