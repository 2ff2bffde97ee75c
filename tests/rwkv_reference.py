"""Straightforward fp64 references of the RWKV recurrences, on CPU tensors."""

from __future__ import annotations

import torch


def _f64(*tensors):
    return [t.detach().cpu().double() for t in tensors]


def attention_v4(time_decay, time_first, key, value, num_state, den_state, max_state):
    """Version 4 in linear space: A ← e^w·A + e^k·v, B ← e^w·B + e^k, y = (A + e^(u+k)·v) / (B + e^(u+k)).

    The states come and go in the operator's scaled form (a, b, p) with A = a·e^p, B = b·e^p and
    p ← max(w + p, k). Returns y [B, T, C] and the final (a, b, p), all fp64.
    """
    w, u, k, v, a, b, p = _f64(time_decay, time_first, key, value, num_state, den_state, max_state)
    A, Bd = a * torch.exp(p), b * torch.exp(p)
    ys = []
    for t in range(k.shape[1]):
        bonus = torch.exp(u + k[:, t])
        ys.append((A + bonus * v[:, t]) / (Bd + bonus))
        A = torch.exp(w) * A + torch.exp(k[:, t]) * v[:, t]
        Bd = torch.exp(w) * Bd + torch.exp(k[:, t])
        p = torch.maximum(w + p, k[:, t])
    return torch.stack(ys, 1), A * torch.exp(-p), Bd * torch.exp(-p), p


def attention_v5(time_decay, time_first, receptance, key, value, state):
    """Version 5: y_t = r_t · (u ⊙ k_tᵀv_t + S), S ← w ⊙ S + k_tᵀv_t per (batch, head).

    Returns y [B, T, H, N] and the final state [B, H, N, N], fp64.
    """
    w, u, r, k, v, S = _f64(time_decay, time_first, receptance, key, value, state)
    ys = []
    for t in range(k.shape[2]):
        kv = k[:, :, t, :, None] * v[:, :, t, None, :]
        ys.append(torch.einsum("bhj,bhji->bhi", r[:, :, t], u[..., None] * kv + S))
        S = w[..., None] * S + kv
    return torch.stack(ys, 1), S
