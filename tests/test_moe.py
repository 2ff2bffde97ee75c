"""Mixture of experts: get_moe_indexes and the three forwards against fp64 references."""

import math

import pytest
import torch
import torch.nn.functional as nnf

import vorn_linear
from reference_decoders import ref_parts
from vorn import xpu
from vorn.quantize import quantize

EPS = {torch.float32: 2.0 ** -23, torch.float16: 2.0 ** -10}
MOE_QTYPES = [2, 34, 15, 19]
FP8_QTYPES = [35, 36]


# ---- get_moe_indexes -------------------------------------------------------------------------

def test_get_moe_indexes_examples():
    assert vorn_linear.get_moe_indexes(torch.tensor([[1, 0], [1, 2]], dtype=torch.int32), 3) == [
        [[1], [0, 0], [1]], [[0], [0, 1], [1]]]
    assert vorn_linear.get_moe_indexes(torch.zeros(0, 2, dtype=torch.int32), 4) == [[[]] * 4, [[]] * 4]
    assert "get moe indexes" in vorn_linear.get_moe_indexes.__doc__


@pytest.mark.parametrize("device", ["cpu", "xpu"])
def test_get_moe_indexes_groups_like_brute_force(device):
    ids = torch.randint(0, 6, (9, 3), dtype=torch.int32)
    slots, tokens = vorn_linear.get_moe_indexes(ids.to(device), 7)
    pairs = [(i, j) for i in range(9) for j in range(3)]
    assert slots == [[j for i, j in pairs if ids[i, j] == e] for e in range(7)]
    assert tokens == [[i for i, j in pairs if ids[i, j] == e] for e in range(7)]


def test_get_moe_indexes_rejects_bad_input():
    with pytest.raises(ValueError, match="cannot create std::vector larger than max_size()"):
        vorn_linear.get_moe_indexes(torch.zeros(1, 1, dtype=torch.int32), -1)
    with pytest.raises(RuntimeError, match=r"topk_ids\[1, 0\] = 3 is not an expert id in \[0, 3\)"):
        vorn_linear.get_moe_indexes(torch.tensor([[0], [3]], dtype=torch.int32), 3)
    with pytest.raises(RuntimeError, match="expected scalar type Int"):
        vorn_linear.get_moe_indexes(torch.zeros(1, 1, dtype=torch.int64), 2)


# ---- experts ---------------------------------------------------------------------------------

def fp16_weights(qtype, packed, n, k, scale=None):
    """fp64 weights as the kernels form them in fp16 (see the decoders' rules)."""
    value, block_scale, _ = ref_parts(qtype, packed.cpu().numpy(), n, k)
    value = torch.from_numpy(value)
    if qtype == 19:
        return value.double()
    if qtype in FP8_QTYPES:
        return (value * scale).half().double()
    return (value.half() * torch.from_numpy(block_scale).half()).double()


class Experts:
    """E experts of hidden size H and intermediate size I in one format, with pointer tables."""

    def __init__(self, qtype, count, H, I, fused=False, seed=0):
        g = torch.Generator().manual_seed(seed)
        self.qtype, self.H, self.I = qtype, H, I
        self.scales = [1.0 + torch.rand(2, generator=g) for _ in range(count)]
        gates = [torch.randn(I, H, generator=g) for _ in range(count)]
        ups = [torch.randn(I, H, generator=g) for _ in range(count)]
        downs = [torch.randn(H, I, generator=g) for _ in range(count)]
        pack = lambda w: quantize(w, qtype).to("xpu")
        self.gate = [pack(w) for w in gates]
        self.up = [pack(w) for w in ups]
        self.gate_up = [pack(torch.cat([a, b])) for a, b in zip(gates, ups)]
        self.down = [pack(w) for w in downs]
        self.scale_tensors = [[torch.tensor([s[i].item()], device="xpu") for s in self.scales] for i in range(2)]

    def weights(self, e):
        """(gate, up, down) fp64 weights of expert e."""
        H, I, q = self.H, self.I, self.qtype
        s0, s1 = self.scales[e].tolist()
        gate_up = fp16_weights(q, self.gate_up[e], 2 * I, H, s0)
        return gate_up[:I], gate_up[I:], fp16_weights(q, self.down[e], H, I, s1)


def table(tensors):
    return torch.tensor([t.data_ptr() for t in tensors], dtype=torch.int64, device="xpu")


def reference(experts, x, ids, eweights, top_k, act, dtype):
    """(expected [S, H], error bound [S, H]) in fp64; the up rows are rounded to dtype as stored."""
    eps = EPS[dtype]
    rows, bounds = [], []
    xs = x.cpu().double()
    for t, e in enumerate(ids.tolist()):
        wg, wu, wd = experts.weights(e)
        xr = xs[t // top_k:t // top_k + 1]
        g, u = xr @ wg.T, xr @ wu.T
        dg, du = 4 * eps * (xr.abs() @ wg.abs().T), 4 * eps * (xr.abs() @ wu.abs().T)
        if act == 0:
            a, da = nnf.silu(g), 1.1 * dg
        else:
            a = 0.5 * g * (1 + torch.tanh(math.sqrt(2 / math.pi) * (g + 0.044715 * g ** 3)))
            da = 1.2 * dg * (1 + 0.2 * g.abs() ** 2)
        up = a * u
        dup = da * u.abs() + du * a.abs() + 2 * eps * up.abs()
        up = up.to(dtype).double()
        w = eweights[t].item()
        rows.append(w * (up @ wd.T))
        bounds.append(abs(w) * ((dup + 4 * eps * up.abs()) @ wd.abs().T) + 2 * eps * rows[-1].abs())
    return torch.cat(rows), torch.cat(bounds)


def assert_within(actual, expected, bound):
    assert ((actual.cpu().double() - expected).abs() <= bound + 1e-30).all()


def traced(fn):
    xpu.clear_launch_trace()
    result = fn()
    return result, xpu.launch_trace()


def element(dtype):
    return ("float", 16) if dtype == torch.float32 else ("half", 32)


H, I = 128, 320  # I covers the 256-element chunks and the 64-element tail


# ---- single token ----------------------------------------------------------------------------

@pytest.mark.parametrize("qtype", MOE_QTYPES)
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("count, id_list", [(1, [0]), (3, [2, 0]), (4, [1, 1, 3])])
def test_moe_forward_vec_matches_reference(qtype, dtype, count, id_list):
    experts = Experts(qtype, count, H, I, seed=count)
    x = torch.randn(1, H).to(dtype).to("xpu")
    ids = torch.tensor(id_list, device="xpu")
    eweights = torch.rand(len(id_list)).to(dtype).to("xpu")
    y, launches = traced(lambda: vorn_linear.moe_forward_vec(
        x, ids, eweights, table(experts.gate), table(experts.up), table(experts.down), H, I, qtype))
    name, lanes = element(dtype)
    S = len(id_list)
    assert [(l.name, l.global_range, l.local_range) for l in launches] == [
        (f"moe_forward_up_kernel<{name}, 2, 4, {lanes}, {qtype}>", (S, I // 2 * 4), (1, 4)),
        (f"moe_forward_down_kernel<{name}, 4, 4, {lanes}, {qtype}>", (S, H // 4 * 4), (1, 4))]
    assert y.shape == (1, H) and y.dtype == dtype
    rows, bound = reference(experts, x, ids, eweights, S, 0, dtype)
    assert_within(y, rows.sum(0, keepdim=True), bound.sum(0, keepdim=True) + S * EPS[dtype] * rows.abs().sum(0))


# ---- batch forms -----------------------------------------------------------------------------

@pytest.mark.parametrize("qtype", MOE_QTYPES + FP8_QTYPES)
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
@pytest.mark.parametrize("top_k, id_list, act", [(1, [0, 2, 2], 0), (2, [1, 0, 1, 1], 1), (2, [3, 0], 0)])
def test_batch_forms_match_reference(qtype, dtype, top_k, id_list, act):
    experts = Experts(qtype, 4, H, I, seed=top_k + len(id_list))
    tokens = len(id_list) // top_k
    x = torch.randn(tokens, H).to(dtype).to("xpu")
    ids = torch.tensor(id_list, device="xpu").view(tokens, top_k)
    eweights = torch.rand(len(id_list)).to(dtype).to("xpu")
    fp8 = qtype in FP8_QTYPES
    if fp8:
        call = lambda: vorn_linear.moe_forward_vec_batch_fused_gate_up_fp8(
            x, ids, eweights, table(experts.gate_up), table(experts.scale_tensors[0]), table(experts.down),
            table(experts.scale_tensors[1]), H, I, top_k, qtype, act)
    else:
        call = lambda: vorn_linear.moe_forward_vec_batch_fused_gate_up(
            x, ids, eweights, table(experts.gate_up), table(experts.down), H, I, top_k, qtype, act)
    y, launches = traced(call)
    name, lanes = element(dtype)
    S = len(id_list)
    up = "moe_forward_up_batched_fused_gate_up_fp8_kernel" if fp8 else "moe_forward_up_batched_fused_gate_up_kernel"
    down = "moe_forward_down_fp8_kernel" if fp8 else "moe_forward_down_kernel"
    assert [(l.name, l.global_range, l.local_range) for l in launches] == [
        (f"{up}<{name}, 2, 4, {lanes}, {qtype}>", (S, I // 2 * 4), (1, 4)),
        (f"{down}<{name}, 4, 4, {lanes}, {qtype}>", (S, H // 4 * 4), (1, 4))]
    assert y.shape == (S, H) and y.dtype == dtype
    assert_within(y, *reference(experts, x, ids.view(-1), eweights, top_k, act, dtype))


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16])
def test_batch_up_agrees_with_single_token_up_for_silu(dtype):
    experts = Experts(2, 3, H, I, seed=9)
    x = torch.randn(1, H).to(dtype).to("xpu")
    ids = torch.tensor([[2, 0, 2]], device="xpu")
    eweights = torch.rand(3).to(dtype).to("xpu")
    single = vorn_linear.moe_forward_vec(x, ids, eweights, table(experts.gate), table(experts.up),
                                         table(experts.down), H, I, 2)
    rows = vorn_linear.moe_forward_vec_batch_fused_gate_up(x, ids, eweights, table(experts.gate_up),
                                                           table(experts.down), H, I, 3, 2, 0)
    assert torch.equal(rows.sum(0, keepdim=True).cpu(), single.cpu())


# ---- failures --------------------------------------------------------------------------------

def operands(qtype=2, dtype=torch.float32):
    experts = Experts(qtype, 2, H, I)
    return experts, torch.randn(2, H).to(dtype).to("xpu"), torch.tensor([[1, 0], [0, 1]], device="xpu"), \
        torch.rand(4).to(dtype).to("xpu")


def test_check_order_and_messages():
    experts, x, ids, ew = operands()
    gate, up, down = table(experts.gate), table(experts.up), table(experts.down)
    mismatch = ("Expected input.dtype() == eweights.dtype() to be true, but got false.  (Could this error message be "
                "improved?  If so, please report an enhancement request to PyTorch.)")
    with pytest.raises(RuntimeError) as error:
        vorn_linear.moe_forward_vec(x.half(), ids, ew, gate, up, down, H, I, 8)
    assert str(error.value).startswith(mismatch)
    with pytest.raises(RuntimeError, match="^unsupported qtype: 8$"):
        vorn_linear.moe_forward_vec(x.bfloat16(), ids, ew.bfloat16(), gate, up, down, H, I, 8)
    with pytest.raises(RuntimeError, match="^unsupported qtype: 2$"):
        vorn_linear.moe_forward_vec_batch_fused_gate_up_fp8(x, ids, ew, gate, gate, down, down, H, I, 2, 2, 0)
    with pytest.raises(RuntimeError, match="^unsupported dtype, only fp32 and fp16 are supported$"):
        vorn_linear.moe_forward_vec_batch_fused_gate_up(x.bfloat16(), ids, ew.bfloat16(), gate, down, H, I, 2, 2, 0)
    with pytest.raises(RuntimeError, match=r"act_type must be 0 \(SiLU\) or 1 \(GELU\), got 2"):
        vorn_linear.moe_forward_vec_batch_fused_gate_up(x, ids, ew, table(experts.gate_up), down, H, I, 2, 2, 2)
    with pytest.raises(RuntimeError, match="top_k must be positive, got 0"):
        vorn_linear.moe_forward_vec_batch_fused_gate_up(x, ids, ew, table(experts.gate_up), down, H, I, 0, 2, 0)
    with pytest.raises(RuntimeError, match="intermediate_size must be a positive multiple of 64, got 100"):
        vorn_linear.moe_forward_vec(x, ids, ew, gate, up, down, H, 100, 2)
    with pytest.raises(RuntimeError, match="expected scalar type Long"):
        vorn_linear.moe_forward_vec(x, ids.int(), ew, gate, up, down, H, I, 2)
    with pytest.raises(RuntimeError, match="eweights must hold at least 4 elements, got 3"):
        vorn_linear.moe_forward_vec(x, ids, ew[:3], gate, up, down, H, I, 2)
    with pytest.raises(RuntimeError, match=f"input must hold at least {4 * H} elements, got {2 * H}"):
        vorn_linear.moe_forward_vec_batch_fused_gate_up(x, ids, ew, table(experts.gate_up), down, H, I, 1, 2, 0)


def test_bad_expert_ids_and_addresses_are_rejected_before_launch():
    experts, x, ids, ew = operands()
    gate, up, down = table(experts.gate), table(experts.up), table(experts.down)
    run = lambda ids, gate: vorn_linear.moe_forward_vec(x, ids, ew, gate, up, down, H, I, 2)
    xpu.clear_launch_trace()
    with pytest.raises(RuntimeError, match=r"slot 2 selects expert 5, outside gate_weight_ptrs \(2 experts\)"):
        run(torch.tensor([0, 1, 5, 0], device="xpu"), gate)
    with pytest.raises(RuntimeError, match="slot 1 selects expert -1"):
        run(torch.tensor([0, -1, 0, 0], device="xpu"), gate)
    short = experts.gate[1][-100:]  # the last 100 bytes of a real allocation
    with pytest.raises(RuntimeError, match=rf"gate_weight_ptrs\[1\] \(slot 0, expert 1\) holds address "
                                           rf"{hex(short.data_ptr())}, which is not a live allocation of xpu:0 "
                                           rf"covering the {I * H // 64 * 34} bytes of a q4_0 \[{I}, {H}\] matrix"):
        run(ids, table([experts.gate[0], short]))
    with pytest.raises(RuntimeError, match=r"gate_weight_ptrs\[0\] \(slot 1, expert 0\) holds address 0x40"):
        run(ids, torch.tensor([64, experts.gate[1].data_ptr()], device="xpu"))
    with pytest.raises(RuntimeError, match=r"down_scale_ptrs\[1\] \(slot 0, expert 1\) .* 4 bytes of an fp32 scale"):
        fp8, x8, _, _ = operands(35)
        vorn_linear.moe_forward_vec_batch_fused_gate_up_fp8(
            x8, ids, ew, table(fp8.gate_up), table(fp8.scale_tensors[0]), table(fp8.down),
            torch.tensor([fp8.scale_tensors[1][0].data_ptr(), 8], device="xpu"), H, I, 2, 35, 0)
    assert xpu.launch_trace() == []
