import threading

import pytest
import torch

from vorn import xpu

ops = torch.ops.vorn_host


@pytest.mark.parametrize(
    "global_range, local_range, sub_group, message",
    [
        ([10], [4], 16, "global size is not a multiple of local size in dimension 0"),
        ([64, 6], [8, 4], 16, "global size is not a multiple of local size in dimension 1"),
        ([4096], [2048], 16, "work-group size 2048 exceeds the device maximum 1024"),
        ([64], [0], 16, "local size 0 in dimension 0"),
        ([64], [32], 24, "required sub-group size 24 is not supported"),
    ],
)
def test_bad_launch_is_rejected(global_range, local_range, sub_group, message):
    xpu.clear_launch_trace()
    with pytest.raises(Exception, match=message):
        ops.launch_empty_kernel(global_range, local_range, sub_group)
    assert xpu.launch_trace() == []


@pytest.mark.parametrize(
    "global_range, local_range, sub_group",
    [([64], [32], 16), ([8, 64], [1, 64], 32), ([2, 4, 8], [1, 2, 8], 0), ([0], [16], 8)],
)
def test_good_launch_is_traced(global_range, local_range, sub_group):
    xpu.clear_launch_trace()
    ops.launch_empty_kernel(global_range, local_range, sub_group)
    [launch] = xpu.launch_trace()
    assert launch == xpu.Launch("empty_kernel", tuple(global_range), tuple(local_range), sub_group, 0)


def test_streams_per_thread_and_priority():
    default = xpu.current_stream()
    high = xpu.new_stream(priority=-1)
    normal = xpu.new_stream()
    assert (high.priority, normal.priority) == (-1, 0)
    assert len({default.stream_id, high.stream_id, normal.stream_id}) == 3
    seen = []
    try:
        xpu.set_stream(high)
        assert xpu.current_stream() == high
        thread = threading.Thread(target=lambda: seen.append(xpu.current_stream()))
        thread.start()
        thread.join()
    finally:
        xpu.set_stream(default)
    assert seen == [default]  # the current stream is per thread


def test_unknown_device_index_is_rejected():
    with pytest.raises(Exception, match="xpu device index 7 is out of range"):
        xpu.set_device(7)


@pytest.mark.parametrize("shape", [(1, 16, 8), (5, 33, 17)])
def test_onednn_matmul_matches_torch(shape):
    m, k, n = shape
    a, b = torch.randn(m, k), torch.randn(k, n)
    out = ops.onednn_matmul_f32(a.to("xpu"), b.to("xpu"))
    assert out.is_xpu
    torch.testing.assert_close(out.cpu(), a @ b)
