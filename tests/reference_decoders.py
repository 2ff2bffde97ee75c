"""Reference decoders of the packed weight formats, in NumPy.

Written from the formats' byte layouts and value rules alone, independently of the C++
decoders, so that tests can check kernels, dequantization and quantizers against them.
ref_decode() returns float32 weights computed in the arithmetic each rule names (fp32 products,
binary16 where a rule says so), so results compare bit for bit with the library's fp32 decode.
"""

from pathlib import Path

import numpy as np

DATA_DIR = Path(__file__).resolve().parent.parent / "data"

# qtype -> (weights per block, bytes per block)
BLOCK = {
    2: (64, 34), 3: (64, 36), 6: (64, 44), 7: (64, 44), 8: (64, 68), 10: (64, 34), 11: (64, 26),
    15: (64, 68), 16: (64, 34), 19: (64, 68), 21: (256, 66), 23: (256, 84), 24: (256, 50),
    26: (256, 210), 27: (256, 148), 28: (256, 176), 29: (64, 50), 30: (256, 210), 34: (64, 34),
    35: (64, 64), 36: (64, 64),
}

NF4 = np.array([
    -1.0, -0.6961928009986877, -0.5250730514526367, -0.39491748809814453, -0.28444138169288635,
    -0.18477343022823334, -0.09105003625154495, 0.0, 0.07958029955625534, 0.16093020141124725,
    0.24611230194568634, 0.33791524171829224, 0.44070982933044434, 0.5626170039176941,
    0.7229568362236023, 1.0], dtype=np.float32)
NF3 = np.array([
    -1.0, -0.4786292016506195, -0.217141792178154, 0.0, 0.16093020141124725,
    0.33791524171829224, 0.5626170039176941, 1.0], dtype=np.float32)


def _read_table(name, dtype):
    lines = (DATA_DIR / name).read_text().split()
    return np.array([int(v, 16) for v in lines], dtype=dtype)


IQ2XXS_GRID = _read_table("iq2xxs_grid.txt", np.uint64)
KSIGNS_IQ2XS = _read_table("ksigns_iq2xs.txt", np.uint8)
IQ1S_GRID = _read_table("iq1s_grid.txt", np.uint32)


def half(bits):
    """Values of binary16 bit patterns, exactly, as float32."""
    return np.asarray(bits, dtype=np.uint16).view(np.float16).astype(np.float32)


def _u16(b, offset, count):
    return b[offset:offset + 2 * count].view("<u2")


def _f32(b, offset, count):
    return b[offset:offset + 4 * count].view("<f4").astype(np.float32)


def _halves(codes, low_first):
    """[nb, 32] bytes -> [nb, 64] nibbles: byte j gives weights j and j + 32."""
    low, high = codes & 15, codes >> 4
    return np.concatenate([low, high] if low_first else [high, low], axis=1)


def _pairs(codes):
    """[nb, 32] bytes -> [nb, 64] nibbles: byte j gives weights 2j (low) and 2j + 1 (high)."""
    return np.stack([codes & 15, codes >> 4], axis=2).reshape(codes.shape[0], 64)


def _fp6_groups(p2, p4):
    """[G, 4] 2-bit-plane and [G, 8] 4-bit-plane bytes -> [G, 16] binary16 values."""
    out = np.empty((p2.shape[0], 16), dtype=np.uint16)
    for t in range(4):
        for u in range(4):
            r = (1, 3, 0, 2)[u]
            s = (p2[:, r] >> (7 - 2 * t)) & 1
            e2 = (p2[:, r] >> (6 - 2 * t)) & 1
            source = p4[:, r] if t < 2 else p4[:, 4 + r]
            nibble = (source >> 4) if t % 2 == 0 else (source & 15)
            e = (e2.astype(np.uint16) << 2) | (nibble >> 2)
            m = nibble & 3
            s16, m16 = s.astype(np.uint16), m.astype(np.uint16)
            out[:, 4 * t + u] = (s16 << 15) | (e << 10) | (m16 << 8) | 0x80
    return half(out)


# Every decoder returns the parts of its weights: (value, scale, offset), broadcastable to
# [blocks, weights per block], with weight = value * scale (+ offset, for the formats that have
# one) formed in float32. Kernels that compute in another element type convert each part to it
# first.

ONE = np.float32(1)


def _q4_0(b, nk, pairs=False):
    codes = b[:nk // 2].reshape(-1, 32)
    q = _pairs(codes) if pairs else _halves(codes, True)
    return q.astype(np.float32) - 8, half(_u16(b, nk // 2, nk // 64))[:, None], None


def _q4_1(b, nk):
    q = _halves(b[:nk // 2].reshape(-1, 32), True).astype(np.float32)
    scales = _u16(b, nk // 2, nk // 32).reshape(-1, 2)
    return q, half(scales[:, 0])[:, None], half(scales[:, 1])[:, None]


def _nf4(b, nk):
    codes = b[:nk // 2].reshape(-1, 32)
    return NF4[_halves(codes, False)], half(_u16(b, nk // 2, nk // 64))[:, None], None


def _fp4(b, nk):
    q = _halves(b[:nk // 2].reshape(-1, 32), True)
    magnitude_code = (q & 7).astype(np.uint32)
    magnitude = ((magnitude_code << 22) + np.uint32(0x3F000000)).view(np.float32).copy()
    magnitude[magnitude_code == 0] = 0.03125
    magnitude[magnitude_code == 1] = 0.5
    value = np.where(q & 8, -magnitude, magnitude).astype(np.float32)
    return value, half(_u16(b, nk // 2, nk // 64))[:, None], None


def _nf3(b, nk):
    nb = nk // 64
    blocks = b[:nb * 24].reshape(nb, 24)
    high = blocks[:, :8].copy().view("<u8")[:, 0]
    high_bits = ((high[:, None] >> np.arange(64, dtype=np.uint64)) & np.uint64(1)).astype(np.int64)
    low_bytes = blocks[:, 8 + np.arange(64) // 4].astype(np.int64)
    low_bits = (low_bytes >> (6 - 2 * (np.arange(64) % 4))) & 3
    return NF3[(high_bits << 2) | low_bits], half(_u16(b, nb * 24, nb))[:, None], None


def _q8_0(b, nk):
    codes = b[:nk].reshape(-1, 64)
    return codes.view(np.int8).astype(np.float32), _f32(b, nk, nk // 64)[:, None], None


def _fp8_e4m3(b, nk):
    c = b[:nk].reshape(-1, 64).astype(np.uint16)
    return half(((c & 0x80) << 8) | ((c & 0x7F) << 7) | 0x40), _f32(b, nk, nk // 64)[:, None], None


def _fp8_e5m2(b, nk):
    return half((b[:nk].reshape(-1, 64).astype(np.uint16) << 8) | 0x80), ONE, None


def _fp6(b, nk):
    nb = nk // 64
    p4 = b[:nb * 32].reshape(nb * 4, 8)
    p2 = b[nb * 32:nb * 48].reshape(nb * 4, 4)
    return _fp6_groups(p2, p4).reshape(nb, 64), half(_u16(b, nb * 48, nb))[:, None], None


def _fp6_k(b, nk):
    ns = nk // 256
    p4 = b[:ns * 128].reshape(ns * 16, 8)
    p2 = b[ns * 128:ns * 192].reshape(ns * 16, 4)
    sc = b[ns * 192:ns * 208].view(np.int8).astype(np.float32)
    d = np.repeat(half(_u16(b, ns * 208, ns)), 16)
    group_scale = (d * sc).astype(np.float16).astype(np.float32)  # the binary16 product
    return _fp6_groups(p2, p4), group_scale[:, None], None


def _q4_k(b, nk):
    ns = nk // 256
    codes = b[:ns * 128].reshape(ns * 8, 16)
    q = np.concatenate([codes & 15, codes >> 4], axis=1).astype(np.float32)
    sub = b[ns * 128:ns * 144].reshape(ns * 8, 2).astype(np.float32)
    dd = _u16(b, ns * 144, 2 * ns).reshape(ns, 2)
    d, dmin = np.repeat(half(dd[:, 0]), 8), np.repeat(half(dd[:, 1]), 8)
    return q, (d * sub[:, 0])[:, None], -(dmin * sub[:, 1])[:, None]


def _q6_k(b, nk):
    ns = nk // 256
    qh = b[:ns * 64].reshape(ns * 16, 4).astype(np.int64)
    ql = b[ns * 64:ns * 192].reshape(ns * 16, 8).astype(np.int64)
    sc = b[ns * 192:ns * 208].view(np.int8).astype(np.float32)
    d = np.repeat(half(_u16(b, ns * 208, ns)), 16)
    q = np.empty((ns * 16, 16), dtype=np.int64)
    for u in range(4):
        q[:, u] = (ql[:, u] >> 4) | ((qh[:, u] >> 6) & 3) << 4
        q[:, 4 + u] = (ql[:, u] & 15) | ((qh[:, u] >> 4) & 3) << 4
        q[:, 8 + u] = (ql[:, 4 + u] >> 4) | ((qh[:, u] >> 2) & 3) << 4
        q[:, 12 + u] = (ql[:, 4 + u] & 15) | (qh[:, u] & 3) << 4
    return (q - 32).astype(np.float32), (d * sc)[:, None], None


# Interleaved formats: self-contained blocks, one per row of `blocks`.

def _q5(blocks, with_min):
    d = half(blocks[:, 0:2].copy().view("<u2")[:, 0])[:, None]
    high = blocks[:, 4:12].copy().view("<u8")[:, 0]
    fifth = ((high[:, None] >> np.arange(64, dtype=np.uint64)) & np.uint64(1)).astype(np.int64)
    q = _halves(blocks[:, 12:44], True).astype(np.int64) | (fifth << 4)
    if with_min:
        return q.astype(np.float32), d, half(blocks[:, 2:4].copy().view("<u2")[:, 0])[:, None]
    return (q - 16).astype(np.float32), d, None


def _q2_k(blocks):
    i = np.arange(256)
    qs = blocks[:, 16 + 32 * (i // 128) + i % 32]
    q = ((qs >> (2 * ((i // 32) % 4))) & 3).astype(np.float32)
    scale = blocks[:, i // 16]
    d = half(blocks[:, 80:82].copy().view("<u2")[:, 0])[:, None]
    dmin = half(blocks[:, 82:84].copy().view("<u2")[:, 0])[:, None]
    return q, d * (scale & 15).astype(np.float32), -(dmin * (scale >> 4).astype(np.float32))


def _q5_k(blocks):
    byte = blocks.astype(np.int64)
    d = half(blocks[:, 0:2].copy().view("<u2")[:, 0])[:, None]
    dmin = half(blocks[:, 2:4].copy().view("<u2")[:, 0])[:, None]
    value, scale, offset = (np.empty((blocks.shape[0], 256), dtype=np.float32) for _ in range(3))
    for p in range(8):
        if p < 4:
            sc, mn = byte[:, 4 + p] & 63, byte[:, 8 + p] & 63
        else:
            sc = (byte[:, 8 + p] & 15) | ((byte[:, p] >> 6) << 4)
            mn = (byte[:, 8 + p] >> 4) | ((byte[:, 4 + p] >> 6) << 4)
        c, upper = p // 2, p % 2
        qs = byte[:, 48 + 32 * c:48 + 32 * c + 32]
        nibble = (qs >> 4) if upper else (qs & 15)
        fifth = (byte[:, 16:48] >> (2 * c + upper)) & 1
        run = slice(32 * p, 32 * p + 32)
        value[:, run] = nibble | (fifth << 4)
        scale[:, run] = d * sc.astype(np.float32)[:, None]
        offset[:, run] = -(dmin * mn.astype(np.float32)[:, None])
    return value, scale, offset


def _iq2_xxs(blocks):
    d = half(blocks[:, 0:2].copy().view("<u2")[:, 0])
    value, scale = (np.empty((blocks.shape[0], 256), dtype=np.float32) for _ in range(2))
    for p in range(8):
        group = blocks[:, 2 + 8 * p:10 + 8 * p]
        w = group[:, 4:8].copy().view("<u4")[:, 0]
        scale[:, 32 * p:32 * p + 32] = (d * (np.float32(0.125) + np.float32(0.25) * (w >> 28).astype(np.float32)))[:, None]
        for l in range(4):
            grid = IQ2XXS_GRID[group[:, l]]
            signs = KSIGNS_IQ2XS[(w >> (7 * l)) & 127]
            for t in range(8):
                magnitude = ((grid >> np.uint64(8 * t)) & np.uint64(255)).astype(np.float32)
                value[:, 32 * p + 8 * l + t] = np.where((signs >> t) & 1, -magnitude, magnitude)
    return value, scale, None


def _iq1_s(blocks):
    d = half(blocks[:, 0:2].copy().view("<u2")[:, 0])
    qs = blocks[:, 2:34].astype(np.int64)
    qh = blocks[:, 34:50].copy().view("<u2").astype(np.int64)
    value, scale = (np.empty((blocks.shape[0], 256), dtype=np.float32) for _ in range(2))
    for p in range(8):
        delta = np.where(qh[:, p] & 0x8000, np.float32(-1.125), np.float32(-0.875))
        scale[:, 32 * p:32 * p + 32] = (d * (2 * ((qh[:, p] >> 12) & 7) + 1).astype(np.float32))[:, None]
        for l in range(4):
            grid = IQ1S_GRID[qs[:, 4 * p + l] | (((qh[:, p] >> (3 * l)) & 7) << 8)].astype(np.int64)
            for t in range(8):
                shift = 8 * t if t < 4 else 8 * (t - 4) + 4
                value[:, 32 * p + 8 * l + t] = ((grid >> shift) & 15).astype(np.float32) + delta
    return value, scale, None


def _moe_e5m2(blocks):
    return half(blocks.astype(np.uint16) << 8), ONE, None


def _moe_e4m3(blocks):
    c = blocks.astype(np.uint16)
    sign, exponent, mantissa = c >> 7, (c >> 3) & 15, c & 7
    normal = half((sign << 15) | ((exponent + 8) << 10) | (mantissa << 7))
    sign_value = np.where(sign == 1, np.float32(-1), np.float32(1))
    subnormal = sign_value * mantissa.astype(np.float32) * np.float32(2.0 ** -9)
    return np.where(exponent > 0, normal, subnormal).astype(np.float32), ONE, None


PLANAR_DECODERS = {
    2: _q4_0, 34: lambda b, nk: _q4_0(b, nk, pairs=True), 3: _q4_1, 10: _nf4, 16: _fp4, 11: _nf3,
    8: _q8_0, 15: _fp8_e4m3, 19: _fp8_e5m2, 29: _fp6, 30: _fp6_k, 27: _q4_k, 26: _q6_k,
}
INTERLEAVED_DECODERS = {
    6: lambda blocks: _q5(blocks, False), 7: lambda blocks: _q5(blocks, True), 23: _q2_k,
    28: _q5_k, 21: _iq2_xxs, 24: _iq1_s, 35: _moe_e5m2, 36: _moe_e4m3,
}


def ref_parts(qtype, data, n, k):
    """(value, scale, offset), each float32 [n, k] (offset None for formats without one), of the
    packed [n, k] matrix `data` (uint8) of format `qtype`: weight = value * scale + offset."""
    if qtype not in BLOCK:
        raise ValueError(f"unsupported qtype: {qtype}")
    weights, size = BLOCK[qtype]
    if k % weights:
        raise ValueError(f"k = {k} must be a multiple of {weights}")
    nk = n * k
    if qtype in PLANAR_DECODERS and nk >= 2 ** 31:
        raise ValueError("n*k must stay below 2^31 for a planar format")
    b = np.ascontiguousarray(data, dtype=np.uint8).reshape(-1)
    needed = nk // weights * size
    if b.size < needed:
        raise ValueError(f"{b.size} bytes, {needed} needed")
    if nk == 0:
        return np.zeros((n, k), dtype=np.float32), np.zeros((n, k), dtype=np.float32), None
    # Scales may be inf or NaN in arbitrary bytes; such weights are part of the result.
    with np.errstate(all="ignore"):
        if qtype in PLANAR_DECODERS:
            parts = PLANAR_DECODERS[qtype](b, nk)
        else:
            parts = INTERLEAVED_DECODERS[qtype](b[:needed].reshape(nk // weights, size))
        value = np.asarray(parts[0], dtype=np.float32)
        return tuple(None if p is None else
                     np.broadcast_to(np.asarray(p, dtype=np.float32), value.shape).reshape(n, k).copy()
                     for p in parts)


def ref_decode(qtype, data, n, k):
    """float32 [n, k] weights of the packed [n, k] matrix `data` (uint8) of format `qtype`."""
    value, scale, offset = ref_parts(qtype, data, n, k)
    with np.errstate(all="ignore"):
        return value * scale if offset is None else value * scale + offset
