"""Generated bad input for every function of vorn_linear and every lumora operator.

Each valid call below is mutated one argument at a time (device, dtype, layout, rank, zero-size,
short weights, bad integers, bad ids and addresses). A mutated call either returns what the valid
call returns or raises a Python exception with a message; a crash ends the run, a hang trips the
watchdog, and a read outside a tensor shows up in the sanitizer run of this suite.
"""

import faulthandler
import functools
from typing import Callable, NamedTuple

import pytest
import torch

import vorn_linear
from vorn.quantize import qtypes, quantize

QT = qtypes()
CLEAR = (RuntimeError, ValueError, TypeError, IndexError)  # NotImplementedError is a RuntimeError
RAISE, SAME, LOOSE, SAFE, EMPTY, EQUAL = "raise", "same", "loose", "safe", "empty", "equal"
H, I = 64, 128  # mixture-of-experts hidden and intermediate sizes


class Case(NamedTuple):
    fn: str
    build: Callable[[str, torch.Generator], list]  # the valid arguments on a device
    state: tuple = ()    # arguments written in place: compared like results
    sizes: tuple = ()    # integers that must describe the tensors: values other than 0 and 1 raise
    codes: tuple = ()    # integers restricted to a list of codes (qtype, act_type)
    ids: tuple = ()      # (argument, count): index tensors whose values must lie in [0, count)
    tables: tuple = ()   # tensors of device addresses
    weights: tuple = ()  # packed weights whose length the call's sizes fix: short ones raise
    free: tuple = ()     # tensors whose shape is part of the problem (ids, bias): reshaped ones may succeed


def rand(g, *shape, dtype=torch.float32):
    return torch.randn(*shape, generator=g).to(dtype)


def packed(g, name, n, k):
    return quantize(rand(g, n, k), name)


def on(device, *tensors):
    return [t.to(device) if isinstance(t, torch.Tensor) else t for t in tensors]


def forward_new(name, batch, n=16, k=256, dtype=torch.float32):
    return Case("forward_new", lambda d, g: on(d, rand(g, batch, k, dtype=dtype), packed(g, name, n, k), QT[name], n),
                codes=(2,),
                weights=(1,) if batch == 1 and name in ("q4_0", "q4_0_woq") else ())


def rwkv_v4(d, g):
    C = 64
    return on(d, -rand(g, C).exp(), rand(g, C), rand(g, 2, 3, C), rand(g, 2, 3, C), rand(g, 2, C).abs(),
              rand(g, 2, C).abs() + 0.5, rand(g, 2, C))


def rwkv_v5(d, g):
    return on(d, torch.exp(-rand(g, 2, 64).exp()), rand(g, 2, 64), *(rand(g, 1, 2, 3, 64) for _ in range(3)),
              rand(g, 1, 2, 64, 64) * 0.1)


def table(tensors):
    return torch.tensor([t.data_ptr() for t in tensors], device=tensors[0].device)


def experts(d, g, name, shapes):
    """Pointer tables (and the weights they point at, kept alive by `keep`) of 2 experts."""
    weights = [[quantize(rand(g, n, k), name).to(d) for _ in range(2)] for n, k in shapes]
    return [table(w) for w in weights], weights


def fp8_experts(d, g, shapes):
    weights = [[rand(g, n, k).to(torch.float8_e5m2).view(torch.uint8).to(d) for _ in range(2)] for n, k in shapes]
    scales = [[torch.rand(1, generator=g).add(0.5).to(d) for _ in range(2)] for _ in shapes]
    return [table(w) for w in weights], [table(s) for s in scales], weights + scales


KEEP = []  # expert weights that the pointer tables of the cached arguments address


def moe_single(d, g):
    tables, keep = experts(d, g, "q4_0", [(I, H), (I, H), (H, I)])
    KEEP.append(keep)
    return on(d, rand(g, 1, H), torch.tensor([1, 0]), torch.rand(2, generator=g), *tables, H, I, QT["q4_0"])


def moe_batch(d, g):
    (gate_up, down), keep = experts(d, g, "q4_0", [(2 * I, H), (H, I)])
    KEEP.append(keep)
    return on(d, rand(g, 2, H), torch.tensor([[1, 0], [0, 0]]), torch.rand(4, generator=g), gate_up, down,
              H, I, 2, QT["q4_0"], 0)


def moe_fp8(d, g):
    (gate_up, down), (gate_up_scale, down_scale), keep = fp8_experts(d, g, [(2 * I, H), (H, I)])
    KEEP.append(keep)
    return on(d, rand(g, 2, H), torch.tensor([[1, 0], [1, 1]]), torch.rand(4, generator=g), gate_up, gate_up_scale,
              down, down_scale, H, I, 2, 35, 1)


def fp8_quant(d, g):
    return on(d, torch.empty(3, 64, dtype=torch.float8_e4m3fn), rand(g, 3, 64), torch.zeros(1))


def fp8_linear(bias):
    def build(d, g):
        w = rand(g, 8, 64).to(torch.float8_e4m3fn)
        # A unit scale: the fp32 route does not apply it, so a changed input dtype keeps the result.
        extra = (rand(g, 8, dtype=torch.float16), torch.tensor([1.0])) if bias else (None, None)
        return on(d, rand(g, 3, 64, dtype=torch.float16), w, *extra)
    return build


CASES = {
    "forward_new-q4_0-vector": forward_new("q4_0", 1),
    "forward_new-q4_0_woq-vector": forward_new("q4_0_woq", 1),
    "forward_new-q4_0-by-batch": forward_new("q4_0", 2),
    "forward_new-q4_k-matvec": forward_new("q4_k", 1),
    "forward_new-q5_1-dense": forward_new("q5_1", 3),
    "forward_new-iq2_xxs-q8_1": forward_new("iq2_xxs", 1),
    "forward_new-q4_0_woq-int4-gemm": forward_new("q4_0_woq", 4, dtype=torch.float16),
    "dequant": Case("dequant", lambda d, g: on(d, rand(g, 1, 256), packed(g, "q4_k", 16, 256), QT["q4_k"]),
                    codes=(2,)),
    "mlp_forward_xpu": Case("mlp_forward_xpu", lambda d, g: on(d, rand(g, 2, 128), packed(g, "q4_0", 8, 128),
                                                               packed(g, "q4_0", 8, 128), 2, 128, 8, 0, QT["q4_0"]),
                            sizes=(3, 4, 5), codes=(7,), weights=(1, 2)),
    "rwkv_linear_attention_v4": Case("rwkv_linear_attention_v4", rwkv_v4, state=(4, 5, 6)),
    "rwkv_linear_attention_v5": Case("rwkv_linear_attention_v5", rwkv_v5, state=(5,)),
    "rwkv_time_shift": Case("rwkv_time_shift", lambda d, g: on(d, rand(g, 2, 3, 64), rand(g, 2, 3, 64),
                                                               torch.rand(2, 64, generator=g))),
    "dequantize_rows": Case("dequantize_rows", lambda d, g: on(d, torch.tensor([[3, 0], [1, 1]]),
                                                               packed(g, "q4_k", 4, 256), QT["q4_k"], 256, 4),
                            sizes=(3, 4), codes=(2,), ids=((0, 4),), weights=(1,)),
    "get_moe_indexes": Case("get_moe_indexes", lambda d, g: on(d, torch.tensor([[1, 0], [2, 1]], dtype=torch.int32), 3),
                            sizes=(1,), ids=((0, 3),)),
    "linear_forward_vec": Case("linear_forward_vec", lambda d, g: on(d, rand(g, 1, 128), packed(g, "q4_0", 12, 128),
                                                                     128, 12, QT["q4_0"]),
                               sizes=(2, 3), codes=(4,), weights=(1,)),
    "mlp_forward_vec": Case("mlp_forward_vec", lambda d, g: on(d, rand(g, 1, 128), packed(g, "q4_0_woq", 8, 128),
                                                               packed(g, "q4_0_woq", 8, 128), 128, 8, QT["q4_0_woq"]),
                            sizes=(3, 4), codes=(5,), weights=(1, 2)),
    "moe_forward_vec": Case("moe_forward_vec", moe_single, sizes=(6, 7), codes=(8,), ids=((1, 2),),
                            tables=(3, 4, 5)),
    "moe_forward_vec_batch_fused_gate_up": Case("moe_forward_vec_batch_fused_gate_up", moe_batch, sizes=(5, 6, 7),
                                                codes=(8, 9), ids=((1, 2),), tables=(3, 4)),
    "moe_forward_vec_batch_fused_gate_up_fp8": Case("moe_forward_vec_batch_fused_gate_up_fp8", moe_fp8,
                                                    sizes=(7, 8, 9), codes=(10, 11), ids=((1, 2),),
                                                    tables=(3, 4, 5, 6)),
    "dynamic_scaled_fp8_quant": Case("dynamic_scaled_fp8_quant", fp8_quant, state=(0, 2)),
    "run_linear_fp8": Case("run_linear_fp8", fp8_linear(False)),
    "run_linear_fp8-bias-scale": Case("run_linear_fp8", fp8_linear(True), free=(2,)),
}
OPERATORS = {"forward_new", "dequant", "mlp_forward_xpu", "rwkv_linear_attention_v4", "rwkv_linear_attention_v5",
             "rwkv_time_shift", "dequantize_rows", "run_linear_fp8"}


@functools.cache
def arguments(case, device="xpu:0"):
    return CASES[case].build(device, torch.Generator().manual_seed(7))


def fresh(args):
    """Copies of the tensors (states are written in place); pointer tables keep their addresses."""
    return [a.clone() if isinstance(a, torch.Tensor) else a for a in args]


# ---- mutations: (label, function of the valid arguments, expectation) --------------------------

def replace(i, fn):
    return lambda args: args[:i] + [fn(args[i])] + args[i + 1:]


def strided(t):
    wide = torch.zeros(*t.shape[:-1], 2 * t.shape[-1], dtype=t.dtype, device=t.device)
    return wide[..., ::2].copy_(t)


def offset(t):
    return torch.zeros(t.numel() + 1, dtype=t.dtype, device=t.device)[1:].view(t.shape).copy_(t)


def with_value(value):
    def mutate(t):
        t = t.clone()
        t.view(-1)[1] = min(value, torch.iinfo(t.dtype).max)
        return t
    return mutate


def with_address(fn):
    def mutate(t):
        t = t.clone()
        t[-1] = fn(t[-1].item())
        return t
    return mutate


def other_dtypes(t):
    if t.dtype == torch.uint8:
        return [torch.int8, torch.float32]
    if t.dtype in (torch.float8_e4m3fn, torch.float8_e5m2):
        return [torch.float16, torch.uint8]
    if t.dtype in (torch.int32, torch.int64):
        return [d for d in (torch.int32, torch.int64, torch.uint64, torch.float32) if d != t.dtype]
    return [d for d in (torch.float64, torch.float32, torch.float16, torch.bfloat16, torch.int64) if d != t.dtype]


def tensor_mutations(case, i, t):
    free = i in case.free or i in dict(case.ids)
    shaped = lambda want: SAFE if free else want  # noqa: E731
    yield "cpu", replace(i, lambda t: t.cpu()), SAME
    yield "xpu:1", replace(i, lambda t: t.to("xpu:1")), SAME
    for dtype in other_dtypes(t):
        yield f"as {dtype}", replace(i, lambda t, dtype=dtype: t.to(dtype)), LOOSE
    if t.numel() > 1:
        yield "strided", replace(i, strided), SAME
        yield "offset", replace(i, offset), SAME
    if t.dim() >= 2:
        yield "transposed", replace(i, lambda t: t.transpose(-1, -2).contiguous().transpose(-1, -2)), SAME
        yield "flattened", replace(i, lambda t: t.reshape(-1)), shaped(SAME)
    if t.dim() >= 1:
        yield "unsqueezed", replace(i, lambda t: t.unsqueeze(0)), shaped(SAME)
        yield "scalar", replace(i, lambda t: t.reshape(-1)[0].clone()), shaped(SAME)
        yield "empty rows", replace(i, lambda t: t[:0]), shaped(EMPTY)
        yield "empty last dim", replace(i, lambda t: t[..., :0]), shaped(EMPTY)
        yield "trailing empty dim", replace(i, lambda t: t.unsqueeze(-1)[..., :0]), shaped(EMPTY)
        yield "one row less", replace(i, lambda t: t[:-1]), RAISE if i in case.weights + case.tables else SAFE
    if i in case.weights:
        yield "half the bytes", replace(i, lambda t: t[:t.numel() // 2]), RAISE
    for arg, count in case.ids:
        if arg == i:
            for value in (-1, count, 2 ** 40):
                yield f"id {value}", replace(i, with_value(value)), RAISE
    if i in case.tables:
        for label, fn in [("address 0", lambda a: 0), ("address 64", lambda a: 64), ("address -1", lambda a: -1),
                          ("address inside", lambda a: a + 64)]:
            yield label, replace(i, with_address(fn)), RAISE


INTEGERS = (-1, 0, 1, 2 ** 31, 2 ** 32 + 2, 2 ** 62, 2 ** 63 - 1, -2 ** 63, 2 ** 64)


def integer_mutations(case, i):
    for value in INTEGERS:
        # Codes are narrowed to 32 bits (2^32 + 2 is code 2); sizes must fit their tensors.
        strict = (i in case.sizes and value not in (0, 1)) or (i in case.codes and value not in (0, 1, 2 ** 32 + 2))
        yield f"int {value}", replace(i, lambda v, value=value: value), RAISE if strict else SAFE
    if i in case.codes:
        yield "code 37", replace(i, lambda v: 37), RAISE


def mutations(case):
    args, valid = arguments(case), CASES[case]
    yield "all on xpu:1", None, EQUAL
    yield "all on cpu", lambda args: [a.cpu() if isinstance(a, torch.Tensor) else a for a in args], SAME
    for i, a in enumerate(args):
        if isinstance(a, torch.Tensor):
            yield from ((f"arg {i} {label}", fn, want) for label, fn, want in tensor_mutations(valid, i, a))
        elif isinstance(a, int):
            yield from ((f"arg {i} {label}", fn, want) for label, fn, want in integer_mutations(valid, i))
        else:
            yield f"arg {i} a tensor", replace(i, lambda _: torch.ones(8, device="xpu")), SAFE


MUTATIONS = {case: {label: (fn, want) for label, fn, want in mutations(case)} for case in CASES}
# Operators reach the same entries through the dispatcher, which picks the kernel by the tensors'
# devices and boxes the integers: they get the device and integer mutations.
THROUGH_DISPATCHER = ("cpu", "xpu:1", "int ", "code ")
SWEEP = [(case, "module", label) for case in CASES for label in MUTATIONS[case]] + \
        [(case, "operator", label) for case in CASES if CASES[case].fn in OPERATORS for label in MUTATIONS[case]
         if any(word in label for word in THROUGH_DISPATCHER)]


# ---- checking ------------------------------------------------------------------------------------

def call(case, via, args):
    fn = getattr(vorn_linear if via == "module" else torch.ops.lumora, CASES[case].fn)
    result = fn(*args)
    return result, [args[i] for i in CASES[case].state]


@functools.cache
def expected(case):
    return call(case, "module", fresh(arguments(case)))


def values(t):
    return t.detach().cpu().to(torch.float64).reshape(-1)


def assert_close(got, want, tolerance):
    if isinstance(want, torch.Tensor):
        assert isinstance(got, torch.Tensor) and got.numel() == want.numel(), (got, want.shape)
        g, w = values(got), values(want)
        scale = w.abs().max().item() if w.numel() else 0.0
        torch.testing.assert_close(g, w, rtol=0, atol=tolerance * (scale + 1), equal_nan=True)
    else:
        assert got == want


def is_empty(result):
    if isinstance(result, torch.Tensor):
        return result.numel() == 0
    if isinstance(result, list):
        return all(is_empty(r) for r in result)
    return result is None or isinstance(result, int)


@pytest.fixture(autouse=True)
def watchdog():
    """A hang dumps the stacks and ends the run instead of stalling it."""
    faulthandler.dump_traceback_later(120, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("case, via, label", SWEEP, ids=[" | ".join(s) for s in SWEEP])
def test_mutated_call(case, via, label):
    mutate, want = MUTATIONS[case][label]
    base_result, base_state = expected(case)
    args = fresh(arguments(case, "xpu:1")) if want == EQUAL else mutate(fresh(arguments(case)))
    try:
        result, state = call(case, via, args)
    except CLEAR as error:
        assert want != EQUAL, f"the valid call on xpu:1 failed: {error}"
        assert str(error).strip(), f"{type(error).__name__} without a message"
        return
    assert want != RAISE, f"accepted: returned {result if not isinstance(result, torch.Tensor) else result.shape}"
    if want == SAFE:
        return
    if want == EMPTY and is_empty(result):
        return
    tolerance = 0.05 if want == LOOSE else 1e-6
    for got, ref in zip([result, *state], [base_result, *base_state]):
        assert_close(got, ref, tolerance)
    if want == EQUAL and isinstance(result, torch.Tensor):
        assert result.device == torch.device("xpu:1")


DEVICES = [("xpu:1", "tavok"), ("xpu", "tavok"), ("cpu", None), ("meta", None), ("xpu:2", RAISE)]


@pytest.mark.parametrize("device, want", DEVICES)
def test_device_name_of_any_device(device, want):
    try:
        name = vorn_linear.get_xpu_device_name(torch.device(device))
    except CLEAR as error:
        assert want != "tavok" and str(error).strip()
        return
    assert want != RAISE and (want is None or name == want)


@pytest.mark.parametrize("device", ["xpu:0", "cpu"])
def test_operator_without_kernel_refuses_every_device(device):
    out, x, scale = on(device, *fresh(arguments("dynamic_scaled_fp8_quant")))
    with pytest.raises(RuntimeError, match="lumora::dynamic_scaled_fp8_quant"):
        torch.ops.lumora.dynamic_scaled_fp8_quant(out, x, scale)


# The tiling variables are read on every call that can tile (q8_0 from TILE_THRESHOLD on this
# device class; q4_0 batches above 128 when LUMORA_LOW_MEM is 1). Set to anything, they either
# leave the product unchanged or fail the call with a message.
TILING = {"q8_0": (3, {}), "q4_0": (130, {"LUMORA_LOW_MEM": "1"})}
ENVIRONMENT = [("TILE_THRESHOLD", v) for v in ("1", "-5", "0x10", "abc", "", "99999999999999999999")] + \
              [("TILE_SIZE", v) for v in ("1", "3", "0", "-1", "abc", "99999999999999999999")] + \
              [("LUMORA_LOW_MEM", v) for v in ("1", "01", "abc")]


@pytest.mark.parametrize("variable, value", ENVIRONMENT)
@pytest.mark.parametrize("name", list(TILING))
def test_tiling_environment(monkeypatch, name, variable, value):
    batch, base_env = TILING[name]
    x, w, qtype, n = forward_new(name, batch).build("xpu:0", torch.Generator().manual_seed(7))
    for key in ("TILE_THRESHOLD", "TILE_SIZE", "LUMORA_LOW_MEM"):
        monkeypatch.delenv(key, raising=False)
    expected = vorn_linear.forward_new(x, w, qtype, n)
    for key, setting in {**base_env, "TILE_THRESHOLD": "1", variable: value}.items():
        monkeypatch.setenv(key, setting)
    try:
        y = vorn_linear.forward_new(x, w, qtype, n)
    except CLEAR as error:
        assert str(error).strip()
        return
    assert_close(y, expected, 2e-3)  # the tile kernels round the decoded weights their own way
