import pytest
import torch
from torch._subclasses.fake_tensor import FakeTensorMode

import vorn_linear  # noqa: F401
from vorn.quantize import quantize


def xpu(*shape, dtype=torch.float32):
    return torch.randn(*shape).to(dtype).to("xpu")


CALLS = {
    "dequant": lambda: (xpu(1, 256), quantize(torch.randn(16, 256), "q4_k").to("xpu"), 27),
    "mlp_forward_xpu": lambda: (xpu(3, 128), *(quantize(torch.randn(8, 128), "q4_0").to("xpu") for _ in range(2)),
                                3, 128, 8, 0, 2),
    "rwkv_linear_attention_v4": lambda: (xpu(64), xpu(64), xpu(2, 3, 64), xpu(2, 3, 64), xpu(2, 64), xpu(2, 64),
                                         xpu(2, 64)),
    "rwkv_linear_attention_v5": lambda: (xpu(2, 64), xpu(2, 64), xpu(1, 2, 3, 64), xpu(1, 2, 3, 64),
                                         xpu(1, 2, 3, 64), xpu(1, 2, 64, 64)),
    "rwkv_time_shift": lambda: (xpu(2, 3, 64), xpu(2, 3, 64), xpu(2, 64)),
    "dequantize_rows": lambda: (torch.tensor([[0, 2], [1, 1]], device="xpu"),
                                quantize(torch.randn(4, 256), "q2_k").to("xpu"), 23, 256, 4),
    "run_linear_fp8": lambda: (xpu(3, 64, dtype=torch.float16), xpu(8, 64).to(torch.float8_e4m3fn), None, None),
}


@pytest.mark.parametrize("name", sorted(CALLS))
def test_shape_function_matches_the_kernel(name):
    args = CALLS[name]()
    op = getattr(torch.ops.lumora, name)
    real = op(*[a.clone() if isinstance(a, torch.Tensor) else a for a in args])
    with FakeTensorMode() as mode:
        fake = op(*[mode.from_tensor(a) if isinstance(a, torch.Tensor) else a for a in args])
    assert (fake.shape, fake.dtype, fake.device) == (real.shape, real.dtype, real.device)
