import pytest
import torch

import vorn_linear

# The module's functions, in the order they are added to it.
FUNCTIONS = [
    "forward_new", "dequant", "mlp_forward_xpu", "rwkv_linear_attention_v4", "rwkv_linear_attention_v5",
    "rwkv_time_shift", "dequantize_rows", "get_moe_indexes", "get_xpu_device_name", "linear_forward_vec",
    "mlp_forward_vec", "moe_forward_vec", "moe_forward_vec_batch_fused_gate_up",
    "moe_forward_vec_batch_fused_gate_up_fp8", "dynamic_scaled_fp8_quant", "run_linear_fp8",
]

SCHEMAS = [
    "forward_new(Tensor input, Tensor weight, int qtype, int input_size) -> Tensor",
    "dequant(Tensor input, Tensor weight, int qtype) -> Tensor",
    "mlp_forward_xpu(Tensor input, Tensor weight1, Tensor weight2, int batch_size, int state_size, "
    "int output_size, int act_type, int qtype) -> Tensor",
    "rwkv_linear_attention_v4(Tensor time_decay, Tensor time_first, Tensor key, Tensor value, "
    "Tensor num_state, Tensor den_state, Tensor max_state) -> Tensor",
    "rwkv_linear_attention_v5(Tensor time_decay, Tensor time_first, Tensor receptance, Tensor key, "
    "Tensor value, Tensor state) -> Tensor",
    "rwkv_time_shift(Tensor hidden, Tensor shifted, Tensor mix) -> Tensor",
    "dequantize_rows(Tensor input, Tensor weight, int qtype, int state_size, int output_size) -> Tensor",
    "run_linear_fp8(Tensor input, Tensor weight, Tensor? bias, Tensor? weight_scale_inv) -> Tensor",
    "dynamic_scaled_fp8_quant(Tensor out, Tensor input, Tensor scale) -> Tensor",
]


def test_module_functions_follow_the_table():
    names = [n for n in vars(vorn_linear) if not n.startswith("_")]
    assert names and set(names) <= set(FUNCTIONS)
    assert names == sorted(names, key=FUNCTIONS.index)
    assert "get xpu device name" in vorn_linear.get_xpu_device_name.__doc__
    with pytest.raises(TypeError):
        vorn_linear.get_xpu_device_name(device=torch.device("xpu"))


def test_lumora_holds_the_nine_schemas():
    ops = [name for name in torch._C._dispatch_get_all_op_names() if name.startswith("lumora::")]
    assert len(ops) == 9
    for schema in SCHEMAS:
        name = "lumora::" + schema.split("(")[0]
        [parsed] = torch._C._jit_get_schemas_for_operator(name)
        assert str(parsed) == "lumora::" + schema


def test_operators_reject_cpu_tensors_in_the_dispatcher():
    with pytest.raises(NotImplementedError, match="Could not run 'lumora::forward_new' with arguments from the 'CPU' backend"):
        torch.ops.lumora.forward_new(torch.zeros(1, 64), torch.zeros(34, dtype=torch.uint8), 2, 64)


def test_declared_only_operator_fails_on_xpu():
    x = torch.zeros(4, device="xpu")
    with pytest.raises(RuntimeError, match="'lumora::dynamic_scaled_fp8_quant' with arguments from the 'XPU' backend"):
        torch.ops.lumora.dynamic_scaled_fp8_quant(x, x, x)


MISMATCH = ("Python version mismatch: module was compiled for Python 3.10, "
            "but the interpreter version is incompatible: {}.")


@pytest.mark.parametrize("running, accepted", [("3.10.12", True), ("3.10", True), ("3.11.4", False),
                                               ("3.100", False), ("3.1", False)])
def test_interpreter_check(running, accepted):
    message = torch.ops.vorn_host.interpreter_check("3.10", running)
    assert message == ("" if accepted else MISMATCH.format(running))
