"""torch.compile and torch.export trace models that call the lumora operators (through their
shape functions) and run them with the same results as eager mode."""

import pytest
import torch
import torch.nn.functional as nnf

import vorn_linear  # noqa: F401
from vorn.quantize import qtypes, quantize

QT = qtypes()


class QuantizedMLP(torch.nn.Module):
    """Two packed linear layers with SiLU between them, as a transformer block's feed-forward."""

    def __init__(self, name, hidden=256, inner=512):
        super().__init__()
        g = torch.Generator().manual_seed(3)
        self.qtype, self.hidden, self.inner = QT[name], hidden, inner
        self.register_buffer("up", quantize(torch.randn(inner, hidden, generator=g), name).to("xpu"))
        self.register_buffer("down", quantize(torch.randn(hidden, inner, generator=g), name).to("xpu"))

    def forward(self, x):
        h = nnf.silu(torch.ops.lumora.forward_new(x, self.up, self.qtype, self.inner))
        return torch.ops.lumora.forward_new(h, self.down, self.qtype, self.hidden) + x


# q4_0 single rows take the vector path; q4_k and the batches of both take the per-format tables.
CASES = [("q4_0", 1), ("q4_0", 3), ("q4_k", 1), ("q4_k", 2)]


@pytest.mark.parametrize("name, batch", CASES)
@pytest.mark.parametrize("backend", ["eager", "aot_eager"])
def test_compiled_model_matches_eager(name, batch, backend):
    torch._dynamo.reset()
    model = QuantizedMLP(name)
    x = torch.randn(batch, 256).to("xpu")
    expected = model(x)
    compiled = torch.compile(model, backend=backend, fullgraph=True)
    y = compiled(x)
    assert y.device == expected.device and y.shape == expected.shape
    assert torch.equal(y.cpu(), expected.cpu())


def test_compiled_model_with_dynamic_batch():
    torch._dynamo.reset()
    model = QuantizedMLP("q4_k")
    compiled = torch.compile(model, backend="aot_eager", fullgraph=True, dynamic=True)
    for batch in (2, 5, 3):
        x = torch.randn(batch, 256).to("xpu")
        assert torch.equal(compiled(x).cpu(), model(x).cpu())


@pytest.mark.parametrize("name, batch", CASES)
def test_exported_model_matches_eager(name, batch):
    model = QuantizedMLP(name)
    x = torch.randn(batch, 256).to("xpu")
    program = torch.export.export(model, (x,))
    targets = [node.target for node in program.graph.nodes if node.op == "call_function"]
    assert targets.count(torch.ops.lumora.forward_new.default) == 2
    assert torch.equal(program.module()(x).cpu(), model(x).cpu())
