"""Packing float weights into the library's low-bit formats.

    packed = vorn.quantize.quantize(weight, "q4_0")     # weight: [N, K] float, any device
    dense = vorn_linear.dequant(x, packed, QTYPES["q4_0"])
"""

from __future__ import annotations

import functools
from typing import Union

import torch

import vorn_linear  # noqa: F401  (registers the operators)

QType = Union[int, str]


@functools.cache
def _table() -> dict[str, tuple[int, int, int]]:
    """name -> (qtype, weights per block, bytes per block), for every code that has a format."""
    table = {}
    for code in range(37):
        name, block, size = torch.ops.vorn_host.qtype_info(code)
        if name:
            table[name] = (code, block, size)
    return table


def qtypes() -> dict[str, int]:
    """Format name -> qtype code."""
    return {name: code for name, (code, _, _) in _table().items()}


def qtype_code(qtype: QType) -> int:
    return qtypes()[qtype] if isinstance(qtype, str) else int(qtype)


def block_size(qtype: QType) -> int:
    return torch.ops.vorn_host.qtype_info(qtype_code(qtype))[1]


def packed_bytes(qtype: QType, n: int, k: int) -> int:
    _, block, size = torch.ops.vorn_host.qtype_info(qtype_code(qtype))
    return n * k // block * size


def quantize(weight: torch.Tensor, qtype: QType) -> torch.Tensor:
    """Packs the [N, K] float matrix into the bytes of `qtype` (a code or a format name), as a
    one-dimensional uint8 tensor on the weight's device."""
    return torch.ops.vorn_host.quantize(weight, qtype_code(qtype))
