import numpy as np
import pytest
import torch

from reference_decoders import ref_decode
from vorn.quantize import packed_bytes, qtypes, quantize

QTYPES = qtypes()
# Relative RMS error of round-to-nearest on N(0, 1) weights, with headroom.
ERROR_BOUND = {
    "q8_0": 0.01, "q6_k": 0.03, "q5_k": 0.05, "fp6_k": 0.06, "fp6": 0.06, "q5_0": 0.06, "q5_1": 0.06,
    "fp8_e4m3": 0.06, "fp8_e5m2": 0.1, "moe_fp8_e5m2": 0.1, "moe_fp8_e4m3": 0.06, "q4_k": 0.1, "q4_1": 0.12,
    "nf4": 0.12, "q4_0": 0.12, "q4_0_woq": 0.12, "fp4": 0.14, "nf3": 0.25, "q2_k": 0.35, "iq2_xxs": 0.4,
    "iq1_s": 0.55,
}
# Formats whose scale and min are both rounded twice, so re-quantizing may move a sub-block.
NOT_BYTE_STABLE = {"q2_k", "q4_k", "q5_k"}


def test_every_format_is_covered():
    assert set(QTYPES) == set(ERROR_BOUND)


@pytest.mark.parametrize("name", sorted(QTYPES))
def test_quantizer_error_and_inverse(name):
    qtype, n, k = QTYPES[name], 8, 512
    weight = torch.randn(n, k, generator=torch.Generator().manual_seed(3))
    packed = quantize(weight, qtype)
    assert packed.dtype == torch.uint8 and packed.numel() == packed_bytes(qtype, n, k)
    decoded = ref_decode(qtype, packed.numpy(), n, k)
    error = np.sqrt(np.mean((decoded - weight.numpy()) ** 2) / np.mean(weight.numpy() ** 2))
    assert error < ERROR_BOUND[name]
    if name not in NOT_BYTE_STABLE:
        assert torch.equal(quantize(torch.from_numpy(decoded), qtype), packed)


def test_quantize_on_device_keeps_device():
    weight = torch.randn(4, 64)
    packed = quantize(weight.to("xpu"), "q4_0")
    assert packed.is_xpu and torch.equal(packed.cpu(), quantize(weight, "q4_0"))


@pytest.mark.parametrize(
    "weight, qtype, message",
    [
        (torch.randn(2, 100), "q4_0", "multiple"),
        (torch.tensor([[float("nan")] * 64]), "q8_0", "not finite"),
        (torch.randn(2, 64), 9, "unsupported qtype: 9"),
        (torch.randn(64), "q4_0", r"\[N, K\]"),
    ],
)
def test_quantize_rejects(weight, qtype, message):
    with pytest.raises((RuntimeError, ValueError), match=message):
        quantize(weight, qtype)
