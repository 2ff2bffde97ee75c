"""NumPy reference of the block_q8_1 activation quantization."""

import numpy as np


def quantize_q8_1_reference(x):
    """block_q8_1 bytes [blocks, 36] of a float32 array, rows of 32 activations: sum and maximum
    as trees over halving strides, d = amax * fp32(1/127), q = x / d rounded half away from zero."""
    x = np.asarray(x, dtype=np.float32).reshape(-1, 32)
    total, amax = x.copy(), np.abs(x)
    while total.shape[1] > 1:
        half = total.shape[1] // 2
        total = total[:, :half] + total[:, half:]
        amax = np.maximum(amax[:, :half], amax[:, half:])
    d = amax * np.float32(0.007874016)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = np.abs(x / d)
    whole = np.floor(ratio)
    q = np.sign(x) * (whole + (ratio - whole >= 0.5))
    q = np.where(amax == 0, 0, q).astype(np.int8)
    header = np.stack([d[:, 0].astype(np.float16), total[:, 0].astype(np.float16)], axis=1).view(np.uint8)
    return np.concatenate([header, q.view(np.uint8)], axis=1)


def q8_1_fields(packed):
    """(d, s, q) of block_q8_1 bytes, d and s as float64, q as int64 [blocks, 32]."""
    blocks = np.asarray(packed, dtype=np.uint8).reshape(-1, 36)
    header = blocks[:, :4].copy().view(np.float16).astype(np.float64)
    return header[:, 0], header[:, 1], blocks[:, 4:].view(np.int8).astype(np.int64)
