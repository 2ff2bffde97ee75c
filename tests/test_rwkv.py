import pytest
import torch

import rwkv_reference as ref
import vorn_linear
from vorn import xpu

V4_SHAPES = [(1, 1, 32), (2, 7, 64), (3, 33, 96)]  # B, T, C
V5_SHAPES = [(1, 1, 1), (2, 3, 5), (1, 2, 17)]  # B, H, T
ERR = {torch.float32: dict(rtol=1e-4, atol=1e-5), torch.float16: dict(rtol=2e-3, atol=2e-3)}
STATE = dict(rtol=1e-4, atol=1e-5)


def v4_inputs(B, T, C, dtype, device="xpu", fresh=False):
    """Decays, bonuses, keys and values as an RWKV-4 layer sees them, and a state."""
    params = [-torch.exp(torch.randn(C)), torch.randn(C) * 0.5, torch.randn(B, T, C), torch.randn(B, T, C)]
    if fresh:
        state = [torch.zeros(B, C), torch.zeros(B, C), torch.full((B, C), -1e38)]
    else:
        state = [torch.rand(B, C) * 2, torch.rand(B, C) + 0.5, torch.randn(B, C)]
    return [t.to(device, dtype) for t in params] + [t.to(device) for t in state]


def v5_inputs(B, H, T, layout="contiguous", device="xpu"):
    """Decays, bonuses, receptance, key, value as an RWKV-5 layer sees them, and a state."""
    N = 64
    if layout == "contiguous":
        r, k, v = (torch.randn(B, H, T, N) * 0.5 for _ in range(3))
    elif layout == "packed":  # three slices of one [B, H, T, 3N] projection
        r, k, v = (torch.randn(B, H, T, 3 * N) * 0.5).split(N, dim=-1)
    else:  # "time-major": [B, T, H, N] seen as [B, H, T, N]
        r, k, v = (torch.randn(B, T, H, N).transpose(1, 2) * 0.5 for _ in range(3))
    w, u = torch.exp(-torch.exp(torch.randn(H, N) * 0.5)), torch.randn(H, N) * 0.5
    return [t.to(device) for t in (w, u, r, k, v, torch.randn(B, H, N, N) * 0.1)]


def clone_all(tensors):
    return [t.clone() for t in tensors]


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("B, T, C", V4_SHAPES)
@pytest.mark.parametrize("fresh", [False, True])
def test_v4_matches_reference(dtype, B, T, C, fresh):
    inputs = v4_inputs(B, T, C, dtype, fresh=fresh)
    y_ref, *state_ref = ref.attention_v4(*inputs)
    y = vorn_linear.rwkv_linear_attention_v4(*inputs)
    assert y.dtype == dtype and y.shape == (B, T, C)
    torch.testing.assert_close(y.cpu().double(), y_ref, **ERR[dtype])
    for got, want in zip(inputs[4:], state_ref):
        torch.testing.assert_close(got.cpu().double(), want, **STATE)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_v4_first_step_from_empty_state(dtype):
    w, u, k, v, num, den, mx = v4_inputs(2, 1, 64, dtype, fresh=True)
    y = vorn_linear.rwkv_linear_attention_v4(w, u, k, v, num, den, mx)
    assert torch.equal(y, v)  # e1 = 0, e2 = 1
    assert torch.equal(mx, torch.maximum(w.float() - 1e38, k[:, 0].float()))
    assert torch.equal(num, v[:, 0].float()) and torch.equal(den, torch.ones_like(den))


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_v4_split_sequence_equals_one_call(dtype):
    w, u, k, v, *state = v4_inputs(2, 12, 64, dtype)
    whole_state = clone_all(state)
    whole = vorn_linear.rwkv_linear_attention_v4(w, u, k, v, *whole_state)
    first = vorn_linear.rwkv_linear_attention_v4(w, u, k[:, :5].contiguous(), v[:, :5].contiguous(), *state)
    second = vorn_linear.rwkv_linear_attention_v4(w, u, k[:, 5:].contiguous(), v[:, 5:].contiguous(), *state)
    assert torch.equal(torch.cat([first, second], 1), whole)
    assert all(torch.equal(a, b) for a, b in zip(state, whole_state))


@pytest.mark.parametrize("B, H, T", V5_SHAPES)
@pytest.mark.parametrize("layout", ["contiguous", "packed", "time-major"])
def test_v5_matches_reference(B, H, T, layout):
    inputs = v5_inputs(B, H, T, layout)
    y_ref, state_ref = ref.attention_v5(*inputs)
    y = vorn_linear.rwkv_linear_attention_v5(*inputs)
    assert y.shape == (B, T, H, 64) and y.is_contiguous()
    torch.testing.assert_close(y.cpu().double(), y_ref, **ERR[torch.float32])
    torch.testing.assert_close(inputs[5].cpu().double(), state_ref, **STATE)


def test_v5_split_sequence_equals_one_call():
    w, u, r, k, v, state = v5_inputs(2, 3, 9)
    whole_state = state.clone()
    whole = vorn_linear.rwkv_linear_attention_v5(w, u, r, k, v, whole_state)
    parts = [vorn_linear.rwkv_linear_attention_v5(w, u, r[:, :, s], k[:, :, s], v[:, :, s], state)
             for s in (slice(0, 4), slice(4, 9))]
    assert torch.equal(torch.cat(parts, 1), whole) and torch.equal(state, whole_state)


def test_v5_zero_state_without_bonus_starts_at_zero():
    w, u, r, k, v, state = v5_inputs(2, 2, 3)
    u.zero_()
    state.zero_()
    y = vorn_linear.rwkv_linear_attention_v5(w, u, r, k, v, state)
    assert torch.equal(y[:, 0], torch.zeros_like(y[:, 0])) and y[:, 1:].abs().sum() > 0


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("mix_kind", ["random", "ones", "zeros"])
def test_time_shift(dtype, mix_kind):
    B, T, C, M = 2, 3, 128, 4
    x, s = (torch.randn(B, T, C, dtype=dtype, device="xpu") for _ in range(2))
    mix = {"random": torch.rand(M, 1, C), "ones": torch.ones(M, 1, C), "zeros": torch.zeros(M, 1, C)}[mix_kind]
    mix = mix.to("xpu", dtype)
    out = vorn_linear.rwkv_time_shift(x, s, mix)
    assert out.shape == (M, B, T, C) and out.dtype == dtype
    # Rounded to the element type after each operation, as the element type's own arithmetic does.
    assert torch.equal(out, torch.stack([s + mix[m] * (x - s) for m in range(M)]))
    if mix_kind == "zeros":
        assert torch.equal(out, s.expand(M, B, T, C))
    if mix_kind == "ones":  # s + (x - s): hidden, up to the rounding of the difference
        torch.testing.assert_close(out, x.expand(M, B, T, C), rtol=0, atol=8 * torch.finfo(dtype).eps)


def test_time_shift_fp16_rounds_every_bit_pattern_like_torch():
    """All 65536 binary16 patterns as hidden states against a few shifted states and mixes:
    subnormals, ties, overflow to infinity, infinities and NaN, as PyTorch's half arithmetic."""
    x = torch.arange(-2**15, 2**15, dtype=torch.int16).view(torch.float16).reshape(1, 1, -1)
    s = torch.tensor([0.0, -1.5e-5, 3.0, -65504.0], dtype=torch.float16).repeat(2**14).reshape(1, 1, -1)
    mix = torch.tensor([[1.0], [0.5], [-3.0], [2 ** -20]], dtype=torch.float16).expand(4, 2**16).contiguous()
    out = vorn_linear.rwkv_time_shift(x.to("xpu"), s.to("xpu"), mix.to("xpu"))
    want = torch.stack([s + mix[m] * (x - s) for m in range(4)])
    torch.testing.assert_close(out.cpu(), want, rtol=0, atol=0, equal_nan=True)


def _v4(**change):
    inputs = dict(zip(["time_decay", "time_first", "key", "value", "num_state", "den_state", "max_state"],
                      v4_inputs(2, 3, 64, torch.float32)))
    return lambda: vorn_linear.rwkv_linear_attention_v4(*{**inputs, **change}.values())


def _v5(**change):
    inputs = dict(zip(["time_decay", "time_first", "receptance", "key", "value", "state"], v5_inputs(1, 2, 3)))
    return lambda: vorn_linear.rwkv_linear_attention_v5(*{**inputs, **change}.values())


def _shift(**change):
    x = torch.randn(2, 3, 128, device="xpu")
    inputs = {"hidden": x, "shifted": x.clone(), "mix": torch.rand(2, 128, device="xpu")}
    return lambda: vorn_linear.rwkv_time_shift(*{**inputs, **change}.values())


BAD_CALLS = {
    "v4 int64 key": (lambda: _v4(key=torch.ones(2, 3, 64, dtype=torch.int64, device="xpu")),
                     RuntimeError, "^unsupported dtype, only fp32 and fp16 are supported$"),
    "shift bf16 hidden": (lambda: _shift(hidden=torch.ones(2, 3, 128, dtype=torch.bfloat16, device="xpu")),
                          RuntimeError, "^unsupported dtype, only fp32 and fp16 are supported$"),
    "v4 2-d key": (lambda: _v4(key=torch.ones(2, 64, device="xpu")), IndexError, "out of range"),
    "v4 C not a multiple of 32": (lambda: _v4(key=torch.ones(2, 3, 48, device="xpu")), RuntimeError,
                                  "channel count C must be a multiple of 32, got 48"),
    "v4 cpu key": (lambda: _v4(key=torch.ones(2, 3, 64)), RuntimeError, "key must be a XPU tensor"),
    "v4 value on another device": (lambda: _v4(value=torch.ones(2, 3, 64, device="xpu:1")), RuntimeError,
                                   "value must be on key's device xpu:0, got xpu:1"),
    "v4 fp16 value": (lambda: _v4(value=torch.ones(2, 3, 64, dtype=torch.half, device="xpu")), RuntimeError,
                      "value must be Float, got Half"),
    "v4 short time_decay": (lambda: _v4(time_decay=torch.ones(32, device="xpu")), RuntimeError,
                            r"time_decay must hold C = 64 contiguous values, got shape \[32\]"),
    "v4 transposed state": (lambda: _v4(num_state=torch.zeros(64, 2, device="xpu").t()), RuntimeError,
                            "num_state must be contiguous"),
    "v4 state of another batch": (lambda: _v4(den_state=torch.zeros(1, 64, device="xpu")), RuntimeError,
                                  r"den_state must be \[B, C\] = \[2, 64\], got \[1, 64\]"),
    "v4 fp16 state": (lambda: _v4(max_state=torch.zeros(2, 64, dtype=torch.half, device="xpu")), RuntimeError,
                      "max_state must be Float, got Half"),
    "v5 head size 32": (lambda: _v5(key=torch.ones(1, 2, 3, 32, device="xpu")), RuntimeError,
                        r"key must be \[B, H, T, 64\], got \[1, 2, 3, 32\]"),
    "v5 strided key": (lambda: _v5(key=torch.ones(1, 2, 3, 128, device="xpu")[..., ::2]), RuntimeError,
                       "key's innermost dimension must be contiguous"),
    "v5 value with other strides": (lambda: _v5(value=torch.ones(1, 3, 2, 64, device="xpu").transpose(1, 2)),
                                    RuntimeError, "value must have key's sizes"),
    "v5 fp16 receptance": (lambda: _v5(receptance=torch.ones(1, 2, 3, 64, dtype=torch.half, device="xpu")),
                           RuntimeError, "receptance must be Float, got Half"),
    "v5 state of one head": (lambda: _v5(state=torch.zeros(1, 1, 64, 64, device="xpu")), RuntimeError,
                             r"state must be \[B, H, 64, 64\] = \[1, 2, 64, 64\]"),
    "shift C not a multiple of 64": (lambda: _shift(hidden=torch.ones(2, 3, 96, device="xpu")), RuntimeError,
                                     "channel count C must be a multiple of 64, got 96"),
    "shift mix rows too short": (lambda: _shift(mix=torch.ones(2, 64, device="xpu")), RuntimeError,
                                 r"mix must hold \[M, C\] = 256 contiguous values"),
}


@pytest.mark.parametrize("case", BAD_CALLS)
def test_bad_input_is_refused(case):
    make, error, message = BAD_CALLS[case]
    call = make()
    xpu.clear_launch_trace()
    with pytest.raises(error, match=message):
        call()
    assert xpu.launch_trace() == []


def _calls(device):
    v4, v5 = v4_inputs(2, 3, 64, torch.float16, device), v5_inputs(1, 2, 3, device=device)
    x = torch.randn(2, 3, 128, device=device)
    return {
        "rwkv_linear_attention_v4": (v4, "rwkv_linear_attention_kernel_v4<half, 32, 16>", (2, 64), (1, 32), 16),
        "rwkv_linear_attention_v5": (v5, "rwkv_linear_attention_kernel_v5<64, 32, 16>", (1, 2, 64), (1, 1, 32), 16),
        "rwkv_time_shift": ([x, x + 1, torch.rand(3, 128, device=device)], "rwkv_time_shift_kernel<float, 64, 32>",
                            (2, 3, 128), (1, 1, 64), 32),
    }


@pytest.mark.parametrize("name", list(_calls("cpu")))
def test_operator_and_module_function_agree_and_launch_as_designed(name):
    args, kernel, global_range, local_range, sub_group = _calls("xpu:1")[name]
    twin = clone_all(args)
    xpu.clear_launch_trace()
    from_module = getattr(vorn_linear, name)(*args)
    from_operator = getattr(torch.ops.lumora, name)(*twin)
    assert torch.equal(from_module, from_operator) and from_module.device == torch.device("xpu:1")
    assert all(torch.equal(a, b) for a, b in zip(args, twin))  # the states, updated alike
    assert xpu.launch_trace() == [xpu.Launch(kernel, global_range, local_range, sub_group, 1)] * 2
    assert getattr(vorn_linear, name).__doc__.strip().endswith(
        {"rwkv_linear_attention_v4": "rwkv v4 attention", "rwkv_linear_attention_v5": "rwkv v5 attention",
         "rwkv_time_shift": "rwkv time shift"}[name])
