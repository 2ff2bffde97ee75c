"""Shape functions of the lumora operators, so that torch.compile and torch.export can trace
models that call them (fake tensors carry shapes and dtypes, never data)."""

from __future__ import annotations

import torch

_QTYPE_Q4_0, _QTYPE_Q4_0_WOQ = 2, 34


def _rows(weight: torch.Tensor, qtype: int, in_features: int) -> int:
    """Output features a packed weight holds, as the operators derive them."""
    torch._check(0 <= qtype < 37, lambda: f"unsupported qtype: {qtype}")
    _, block, size = torch.ops.vorn_host.qtype_info(qtype)
    torch._check(size > 0 and in_features > 0, lambda: f"unsupported qtype: {qtype}")
    return weight.shape[0] // size * block // in_features


def _forward_new(input, weight, qtype, input_size):
    batch, in_features = input.shape[0], input.shape[1]
    if batch == 1 and input_size % 4 == 0 and qtype in (_QTYPE_Q4_0, _QTYPE_Q4_0_WOQ):
        return input.new_empty(1, input_size)  # the vector path
    return input.new_empty(batch, _rows(weight, qtype, in_features))


def _dequant(input, weight, qtype):
    return input.new_empty(_rows(weight, qtype, input.shape[1]), input.shape[1])


def _mlp_forward_xpu(input, weight1, weight2, batch_size, state_size, output_size, act_type, qtype):
    return input.new_empty(batch_size, output_size, device=weight1.device)


def _rwkv_v4(time_decay, time_first, key, value, num_state, den_state, max_state):
    return torch.empty_like(key, memory_format=torch.contiguous_format)


def _rwkv_v5(time_decay, time_first, receptance, key, value, state):
    batch, heads, tokens, size = key.shape
    return key.new_empty(batch, tokens, heads, size)


def _rwkv_time_shift(hidden, shifted, mix):
    return hidden.new_empty(mix.shape[0], *hidden.shape)


def _dequantize_rows(input, weight, qtype, state_size, output_size):
    return weight.new_empty(input.shape[0], input.shape[1], state_size, dtype=torch.float32)


def _run_linear_fp8(input, weight, bias, weight_scale_inv):
    return input.new_empty(input.shape[0], weight.shape[0], device=weight.device)


_SHAPES = {
    "forward_new": _forward_new,
    "dequant": _dequant,
    "mlp_forward_xpu": _mlp_forward_xpu,
    "rwkv_linear_attention_v4": _rwkv_v4,
    "rwkv_linear_attention_v5": _rwkv_v5,
    "rwkv_time_shift": _rwkv_time_shift,
    "dequantize_rows": _dequantize_rows,
    "run_linear_fp8": _run_linear_fp8,
}


def register() -> None:
    for name, shape in _SHAPES.items():
        torch.library.register_fake(f"lumora::{name}", shape)
