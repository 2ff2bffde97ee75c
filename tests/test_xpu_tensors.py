import threading

import pytest
import torch
import torch.nn.functional as F

from vorn import xpu

DTYPES = [torch.float32, torch.float16, torch.bfloat16, torch.uint8, torch.int64]


def sample(dtype, shape=(6, 10)):
    if dtype.is_floating_point:
        return torch.randn(shape).to(dtype)
    return torch.randint(0, 200, shape).to(dtype)


@pytest.mark.parametrize("dtype", DTYPES)
def test_round_trip_views_and_printing(dtype):
    cpu = sample(dtype)
    x = cpu.to("xpu")
    assert x.device == torch.device("xpu", 0) and x.dtype == dtype
    assert torch.equal(x.cpu(), cpu)
    assert "device='xpu:0'" in repr(x)

    view = x[1:, ::2]
    assert view.is_xpu and view.untyped_storage().data_ptr() == x.untyped_storage().data_ptr()
    assert torch.equal(view.cpu(), cpu[1:, ::2])
    assert torch.equal(x.t().contiguous().cpu(), cpu.t().contiguous())
    assert torch.equal(x.sum().cpu(), cpu.sum())

    empty = torch.empty(3, 4, dtype=dtype, device="xpu")
    assert empty.is_xpu and empty.shape == (3, 4)


@pytest.mark.parametrize("dtype", DTYPES)
def test_index_put_writes_in_place(dtype):
    cpu = sample(dtype)
    x = cpu.to("xpu")
    address = x.data_ptr()
    rows = torch.tensor([0, 3, 5])
    values = sample(dtype, (3, 10))
    x.index_put_((rows.to("xpu"),), values.to("xpu"))
    cpu.index_put_((rows,), values)
    assert x.data_ptr() == address
    assert torch.equal(x.cpu(), cpu)


# Dense products as at::linear and callers of mm/addmm form them: layouts oneDNN takes (row- or
# column-major operands, row strides, a [N] bias; fp16 widened to fp32) and calls left to
# PyTorch's CPU kernels (scaled addmm, a full or broadcast bias, element strides, empty
# dimensions, f64, an fp16 row).
PRODUCTS = {
    "linear": lambda x, w, b: F.linear(x, w),
    "linear_bias": lambda x, w, b: F.linear(x, w, b),
    "linear_3d": lambda x, w, b: F.linear(x.reshape(2, 3, -1), w, b),
    "one_row": lambda x, w, b: F.linear(x[:1], w, b),
    "column_major_input": lambda x, w, b: torch.mm(x.t().contiguous().t(), w.t()),
    "row_stride": lambda x, w, b: torch.mm(torch.cat([x, x], 1)[:, : x.shape[1]], w.t().contiguous()),
    "one_column": lambda x, w, b: torch.addmm(b[:1], x, w[:1].t()),
    "element_stride": lambda x, w, b: torch.mm(x[:, ::2], w[:, ::2].t()),
    "scaled_addmm": lambda x, w, b: torch.addmm(b, x, w.t(), beta=0.5, alpha=2),
    "matrix_bias": lambda x, w, b: torch.addmm(x @ w.t()[:, :1], x, w.t()),
    "broadcast_bias": lambda x, w, b: F.linear(x, w, b[:1].expand(w.shape[0])),
    "empty_rows": lambda x, w, b: F.linear(x[:0], w, b),
    "empty_inner": lambda x, w, b: torch.mm(x[:, :0], w.t()[:0]),
}


@pytest.mark.parametrize("dtype", [torch.float32, torch.bfloat16, torch.float16, torch.float64])
@pytest.mark.parametrize("product", PRODUCTS)
def test_dense_products_match_cpu(dtype, product):
    torch.manual_seed(0)
    x, w, b = torch.randn(6, 96).to(dtype), torch.randn(20, 96).to(dtype), torch.randn(20).to(dtype)
    out = PRODUCTS[product](x.to("xpu"), w.to("xpu"), b.to("xpu"))
    assert out.is_xpu
    torch.testing.assert_close(out.cpu(), PRODUCTS[product](x, w, b))


@pytest.mark.parametrize(
    "product, dtype, through_onednn",
    [("linear_bias", torch.float32, True), ("column_major_input", torch.float32, True),
     ("element_stride", torch.float32, False), ("scaled_addmm", torch.float32, False),
     ("linear", torch.float64, False), ("one_row", torch.float16, False)],
)
def test_dense_products_take_onednn_where_it_has_a_kernel(capfd, product, dtype, through_onednn):
    x, w, b = (torch.randn(shape, dtype=dtype, device="xpu") for shape in ((6, 96), (20, 96), (20,)))
    capfd.readouterr()
    torch.ops.vorn_host.onednn_verbose(1)
    try:
        PRODUCTS[product](x, w, b)
    finally:
        torch.ops.vorn_host.onednn_verbose(0)
    assert (",matmul," in capfd.readouterr().out) == through_onednn


def test_dense_products_after_plan_eviction_with_non_finite_values():
    # more shapes than a thread keeps plans for (64), each checked, some twice
    torch.manual_seed(1)
    for n in list(range(1, 71)) + [1, 2, 3]:
        x, w = torch.randn(3, 40), torch.randn(n, 40)
        x[0, n % 40], x[1, 0] = float("inf"), float("nan")
        torch.testing.assert_close(F.linear(x.to("xpu"), w.to("xpu")).cpu(), F.linear(x, w), equal_nan=True)


def test_dense_products_from_two_threads():
    torch.manual_seed(2)
    cases = [(torch.randn(5, 64), torch.randn(n, 64)) for n in (24, 40)]
    results = [None, None]

    def run(i):
        x, w = cases[i]
        results[i] = [F.linear(x.to("xpu"), w.to("xpu")).cpu() for _ in range(20)]

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for (x, w), outs in zip(cases, results):
        for out in outs:
            torch.testing.assert_close(out, F.linear(x, w))


def test_dense_products_on_second_device_and_errors():
    x, w = torch.randn(4, 64), torch.randn(8, 64)
    out = F.linear(x.to("xpu:1"), w.to("xpu:1"))
    assert out.device == torch.device("xpu", 1)
    torch.testing.assert_close(out.cpu(), F.linear(x, w))
    with pytest.raises(RuntimeError, match="cannot be multiplied"):
        torch.mm(x.to("xpu"), x.to("xpu"))


def test_fallback_writes_into_device_memory():
    x = torch.zeros(16, device="xpu")
    address = x.data_ptr()
    x.add_(2)
    x[4:8].fill_(7)
    torch.mul(x, 3, out=x)
    assert x.data_ptr() == address
    expected = torch.full((16,), 6.0)
    expected[4:8] = 21
    assert torch.equal(x.cpu(), expected)


def test_results_are_live_device_allocations():
    x = torch.randn(64, device="xpu")
    y = x * 2  # a fresh result of a CPU kernel, adopted without a copy
    for t in (x, y):
        assert xpu.is_live_allocation(t.data_ptr(), t.nbytes)
        assert not xpu.is_live_allocation(t.data_ptr(), t.nbytes + 1)
    address = y.data_ptr()
    del y, t
    assert not xpu.is_live_allocation(address, 4)


def test_released_large_blocks_are_reused():
    xpu.empty_cache()
    x = torch.empty(3 << 20, dtype=torch.uint8, device="xpu")
    address = x.data_ptr()
    del x
    if xpu.cached_memory() == 0:
        pytest.skip("this build keeps no released blocks")
    assert not xpu.is_live_allocation(address, 4)
    y = torch.ones(3 << 20, dtype=torch.uint8, device="xpu:1")
    assert y.data_ptr() == address and xpu.cached_memory() == 0
    assert xpu.is_live_allocation(address, y.nbytes, device=1) and int(y.sum()) == 3 << 20
    del y
    torch.xpu.empty_cache()
    assert xpu.cached_memory() == 0


def test_resize_keeps_tensor_on_device():
    x = torch.empty(0, device="xpu")
    x.resize_(1000).fill_(1.5)
    assert x.is_xpu and xpu.is_live_allocation(x.data_ptr(), 4000)
    assert torch.equal(x.cpu(), torch.full((1000,), 1.5))


def test_second_device():
    x = torch.arange(6.0, device="xpu:1")
    y = (x + 1).reshape(2, 3)
    assert x.device.index == 1 and y.device.index == 1
    assert xpu.is_live_allocation(y.data_ptr(), y.nbytes, device=1)
    assert not xpu.is_live_allocation(y.data_ptr(), y.nbytes, device=0)
    assert torch.equal(y.to("xpu:0").cpu(), torch.arange(1.0, 7.0).reshape(2, 3))


def test_torch_xpu_queries():
    assert torch.xpu.is_available() and torch.xpu.device_count() == 2
    try:
        torch.xpu.set_device(1)
        assert torch.xpu.current_device() == 1
        assert torch.empty(2, device="xpu").device.index == 1
        with torch.xpu.device(0):
            assert torch.xpu.current_device() == 0
        assert torch.xpu.current_device() == 1
    finally:
        torch.xpu.set_device(0)
    torch.xpu.synchronize()
    assert torch.xpu.current_stream().device_index == 0
