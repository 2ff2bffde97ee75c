import functools

import numpy as np
import pytest
import torch

import vorn_linear
from reference_decoders import ref_decode, ref_parts
from vorn import xpu
from vorn.quantize import qtypes, quantize

QTYPES = qtypes()
TAVOK, SELUM, DUKOR, LEGACY = 0x030F0007, 0x030DC008, 0x03118004, 0x03000000
CLASSES = {"tavok": TAVOK, "selum": SELUM, "legacy": LEGACY}
DTYPES = [torch.float64, torch.float32, torch.float16, torch.bfloat16]
BATCHES = [1, 2, 7, 8, 15, 33, 200]
# Formats whose batch-1 forward runs a kernel of the matrix-vector family.
MATVEC_FORMATS = ["q4_0", "q4_1", "q5_0", "q5_1", "q8_0", "nf4", "nf3", "fp8_e4m3", "fp4", "fp8_e5m2", "q6_k", "q4_k",
                  "fp6", "fp6_k", "q4_0_woq"]
# Formats whose batch-1 forward quantizes the activations to 8 bits (q8_1 blocks).
Q8_1_FORMATS = ["q2_k", "iq2_xxs", "iq1_s"]
FORMATS = MATVEC_FORMATS + Q8_1_FORMATS + ["q5_k"]
# Batches other than 1 of these expand through the explicit-SIMD dequantize only (fp32, fp16).
EXPLICIT_SIMD_ONLY = {"fp8_e4m3", "fp6", "fp6_k"}
# Relative to sum |x| |w|: per-operation rounding over chains of a few dozen additions. fp32
# allows for the explicit-SIMD dequantize, which decodes in fp16 (2^-11 per weight), fp64 for
# the reference weights, decoded in fp32.
TOLERANCE = {torch.float64: 1e-7, torch.float32: 5e-4, torch.float16: 4e-3, torch.bfloat16: 3e-2}
N, K = 23, 1024


@functools.cache
def packed_matrix(name, n=N, k=K):
    """A quantized random matrix and its reference-decoded fp64 weights."""
    weight = torch.randn(1, n * k, generator=torch.Generator().manual_seed(n * k))
    packed = quantize(weight, name)  # the flat stream of blocks: rows need not hold whole blocks
    decoded = ref_decode(QTYPES[name], packed.numpy(), 1, n * k).reshape(n, k)
    return packed, torch.from_numpy(decoded).double()


def forward(x, packed, name, input_size=None):
    return vorn_linear.forward_new(x.to("xpu"), packed.to("xpu"), QTYPES[name],
                                   x.shape[1] + 2 if input_size is None else input_size)


def traced(fn):
    xpu.clear_launch_trace()
    result = fn()
    return result, xpu.launch_trace()


def tolerance(name, dtype, batch):
    if batch == 1 and name in Q8_1_FORMATS:
        return 2e-2  # 8-bit activations: half a step of max|x| / 127 each
    if batch == 1 and name == "q5_k":
        return max(TOLERANCE[dtype], 1e-5)  # accumulates in fp32
    return TOLERANCE[dtype]


def assert_close_to_reference(y, x, decoded, name=None):
    reference = x.double() @ decoded.T
    scale = x.double().abs() @ decoded.abs().T
    error = (y.cpu().double() - reference).abs()
    assert y.dtype == x.dtype and y.shape == reference.shape
    bound = tolerance(name, x.dtype, x.shape[0]) * scale + 1e-30
    assert bool((error <= bound).all()), float((error / scale).max())


@pytest.fixture
def one_thread():
    """Hundreds of tiny launches: on busy cores, waking a second thread for each costs more than
    the work (the other tests run the kernels' work-groups on every thread)."""
    threads = torch.get_num_threads()
    torch.set_num_threads(1)
    yield
    torch.set_num_threads(threads)


@pytest.mark.parametrize("device_class", sorted(CLASSES))
@pytest.mark.parametrize("name", FORMATS)
def test_forward_matches_fp64_reference(restore_architectures, one_thread, name, device_class):
    xpu.set_architecture(0, CLASSES[device_class])
    packed, decoded = packed_matrix(name)
    for dtype in DTYPES:
        for batch in BATCHES:
            if batch > 1 and ((name == "q4_0_woq" and dtype != torch.float16) or
                              (name in EXPLICIT_SIMD_ONLY and dtype in (torch.float64, torch.bfloat16))):
                continue  # refused: test_batch_road_refusals
            x = torch.randn(batch, K, dtype=dtype)
            assert_close_to_reference(forward(x, packed, name), x, decoded, name)


@pytest.mark.parametrize(
    "name, dtype, message",
    [(name, dtype, "Unsupported input dtype, only fp32 and fp16 are supported")
     for name in ["fp8_e4m3", "fp6", "fp6_k"] for dtype in [torch.float64, torch.bfloat16]]
    # batches other than 1 of q4_0_woq run the oneDNN int4 GEMM, which takes fp16
    + [("q4_0_woq", dtype, "run_linear_woq: input must be fp16") for dtype in [torch.float32, torch.bfloat16]],
)
def test_batch_road_refusals(name, dtype, message):
    packed, _ = packed_matrix(name)
    with pytest.raises(RuntimeError, match=message):
        forward(torch.zeros(4, K, dtype=dtype), packed, name)


@pytest.mark.parametrize(
    "name, batch, input_size, kernel",
    [
        ("q4_0", 1, 24, "linear_forward_kernel<float, 4, 4, 16, 2>"),
        ("q4_0_woq", 1, 24, "linear_forward_kernel<float, 4, 4, 16, 34>"),
        ("q4_0", 2, 24, "qlinear_xpu_kernel_q4_0_2x16_by_batch"),
        ("q4_0_woq", 1, 26, "qlinear_xpu_kernel_q4_0_woq_2x16"),
        ("q8_0", 1, 24, "qlinear_xpu_kernel_q8_0_2x8"),
    ],
)
def test_vector_path_routing(name, batch, input_size, kernel):
    """One row of q4_0 or q4_0_woq with input_size (the output features) a multiple of 4 takes
    the vector path."""
    packed, decoded = packed_matrix(name, 24, K)
    x = torch.randn(batch, K)
    y, trace = traced(lambda: forward(x, packed, name, input_size))
    assert names(trace) == [kernel]
    if input_size == 24:
        # the vector path decodes in fp16
        reference = x.double() @ decoded.T
        assert torch.allclose(y.cpu().double(), reference, rtol=0, atol=1e-3 * float(reference.abs().max()))


@pytest.mark.parametrize("name", ["q4_0", "nf4", "q6_k", "q5_1"])
@pytest.mark.parametrize("batch", [1, 3, 20])
def test_operator_and_module_agree(name, batch):
    packed, _ = packed_matrix(name)
    x = torch.randn(batch, K, device="xpu")
    module = vorn_linear.forward_new(x, packed.to("xpu"), QTYPES[name], N)
    operator = torch.ops.lumora.forward_new(x, packed.to("xpu"), QTYPES[name], N)
    assert torch.equal(module.cpu(), operator.cpu())


def rounding(dtype):
    """fp32 values rounded to `dtype` (to nearest, ties to even), kept as fp32."""
    if dtype == torch.bfloat16:
        def to_bf16(a):
            a = np.asarray(a, dtype=np.float32)
            u = a.view(np.uint32).astype(np.uint64)
            rounded = ((u + 0x7FFF + ((u >> 16) & 1)) & 0xFFFF0000).astype(np.uint32).view(np.float32)
            return np.where(np.isnan(a), a, rounded)
        return to_bf16
    stored = np.float16 if dtype == torch.float16 else np.float32
    return lambda a: np.asarray(a, dtype=np.float32).astype(stored).astype(np.float32)


def step_partial_sums(values, x, lane_columns, rnd):
    """The work-items' sums s of one step, in their order, each operation rounded by `rnd`:
    values [rows, K], lane_columns [W, U] (the columns of each work-item's terms, in order)."""
    s = np.zeros((values.shape[0], lane_columns.shape[0]), dtype=np.float32)
    for column in lane_columns.T:
        s = rnd(s + rnd(values[:, column] * x[column]))
    return s


def emulate(name, packed, x, n, k, w, dtype):
    """y of the matrix-vector kernel of q4_0 / q4_0_woq / q8_0 with W work-items and R rows
    per group, emulated work-item by work-item (steps, sums, scales, tree reduction) in fp32
    values rounded to `dtype` after every operation."""
    rnd = rounding(dtype)
    value, scale, _ = ref_parts(QTYPES[name], packed.numpy(), n, k)
    value, scale, x = rnd(value), rnd(scale), rnd(x.float().numpy())
    lanes = np.arange(w)[:, None]
    if name == "q4_0":  # bytes 8u..8u+7 of the lane's block: weights 8u + t, then 8u + 32 + t
        t = np.arange(8)
        base = 64 * (lanes // 4) + 8 * (lanes % 4)
        columns, unit = np.stack([base + t, base + 32 + t], axis=2).reshape(w, 16), 16
    else:
        unit = 16 if name == "q4_0_woq" else 8
        columns = unit * lanes + np.arange(unit)
    step = unit * w
    acc = np.zeros((n, w), dtype=np.float32)
    for first in range(0, k, step):
        active = min(w, (k - first) // unit)
        cols = columns[:active] + first
        s = step_partial_sums(value, x, cols, rnd)
        acc[:, :active] = rnd(acc[:, :active] + rnd(s * scale[:, cols[:, 0]]))
    stride = w // 2
    while stride:
        acc[:, :stride] = rnd(acc[:, :stride] + acc[:, stride:2 * stride])
        stride //= 2
    return acc[:, 0]


@pytest.mark.parametrize("name", ["q4_0", "q4_0_woq", "q8_0"])
@pytest.mark.parametrize("device_class, w, r", [("tavok", 32, 2), ("selum", 64, 2), ("legacy", 32, 8)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float16, torch.bfloat16])
# 2^-128: bf16 and fp32 products and sums in the subnormal range (fp16 activations become zeros).
@pytest.mark.parametrize("magnitude", [1.0, 2.0**-128])
def test_batch_one_follows_the_work_items_order(restore_architectures, name, device_class, w, r, dtype, magnitude):
    xpu.set_architecture(0, CLASSES[device_class])
    n, k = 11, 1088  # K mod 1024 = 64: the last step runs on the first few work-items only
    packed, _ = packed_matrix(name, n, k)
    x = (torch.randn(1, k) * magnitude).to(dtype)
    y = forward(x, packed, name)
    expected = emulate(name, packed, x[0], n, k, w, dtype)
    np.testing.assert_array_equal(y.cpu()[0].float().numpy(), expected)


KERNEL = {"q4_0": "qlinear_xpu_kernel_q4_0_2x16", "q4_0_woq": "qlinear_xpu_kernel_q4_0_woq_2x16",
          "q4_1": "qlinear_xpu_kernel_q4_1_2x16", "nf4": "qlinear_xpu_kernel_nf4_2x16",
          "nf3": "qlinear_xpu_kernel_nf3_2x16", "fp4": "qlinear_xpu_kernel_fp4_2x16",
          "fp6": "qlinear_xpu_kernel_fp6_2x16", "fp6_k": "qlinear_xpu_kernel_fp6_k_2x16",
          "q8_0": "qlinear_xpu_kernel_q8_0_2x8", "fp8_e4m3": "qlinear_xpu_kernel_fp8_e4m3_2x8",
          "fp8_e5m2": "qlinear_xpu_kernel_fp8_e5m2_2x8", "q4_k": "qlinear_xpu_kernel_q4_k_2x16",
          "q6_k": "qlinear_xpu_kernel_q6_k_2x16", "q5_0": "qlinear_xpu_kernel_q5_0", "q5_1": "qlinear_xpu_kernel_q5_1"}


@pytest.mark.parametrize("name", MATVEC_FORMATS)
@pytest.mark.parametrize("device_class", sorted(CLASSES))
def test_batch_one_kernel_shape_by_device_class(restore_architectures, name, device_class):
    xpu.set_architecture(0, CLASSES[device_class])
    packed, _ = packed_matrix(name)
    _, trace = traced(lambda: forward(torch.randn(1, K), packed, name))
    sub_group, w = (32, 64) if device_class == "selum" else (16, 32)
    r = 1 if name in ("q5_0", "q5_1") else 8 if device_class == "legacy" and name in ("q4_0", "q4_0_woq") else 2
    [launch] = trace
    assert (launch.name, launch.global_range, launch.local_range, launch.sub_group_size) == (
        KERNEL[name], ((N + r - 1) // r * w,), (w,), sub_group)


def names(trace):
    return [launch.name for launch in trace]


@pytest.mark.parametrize(
    "name, device_class, batch, expected",
    [
        ("q4_0", "tavok", 7, ["qlinear_xpu_kernel_q4_0_2x16_by_batch"]),
        ("q4_0", "legacy", 2, ["qlinear_xpu_kernel_q4_0_2x16_by_batch"]),
        ("q4_0", "tavok", 8, ["dequantize_q4_0_kernel"]),
        ("q4_0", "selum", 2, ["dequantize_q4_0_kernel"]),
        ("nf4", "selum", 14, ["qlinear_xpu_kernel_nf4_2x16_batch"]),
        ("nf4", "tavok", 15, ["qlinear_xpu_dequantize_kernel_nf4_1x2"]),
        ("nf4", "selum", 15, ["qlinear_xpu_dequantize_kernel_nf4_1x4"]),
        ("nf3", "tavok", 3, ["qlinear_xpu_dequantize_kernel_nf3_new"]),
        ("q5_0", "tavok", 3, ["qlinear_xpu_dequantize_kernel_q5_0"]),
        ("q5_1", "tavok", 3, ["qlinear_xpu_dequantize_kernel_q5_1"]),
        ("q4_1", "tavok", 3, ["dequantize_q4_1_kernel"]),
        ("fp4", "tavok", 3, ["dequantize_fp4_kernel"]),
        ("fp8_e4m3", "tavok", 3, ["dequantize_fp8_e4m3_kernel"]),
        ("fp6_k", "tavok", 3, ["dequantize_fp6_k_kernel"]),
        ("q6_k", "tavok", 3, ["dequantize_q6_k_kernel"]),
        ("q4_k", "tavok", 3, ["dequantize_q4_k_kernel"]),
    ],
)
def test_batch_road(restore_architectures, name, device_class, batch, expected):
    xpu.set_architecture(0, CLASSES[device_class])
    packed, decoded = packed_matrix(name)
    x = torch.randn(batch, K)
    y, trace = traced(lambda: forward(x, packed, name))
    assert names(trace) == expected
    if expected[0].endswith("batch"):
        assert trace[0].global_range == ((batch + 1) // 2, (N + 1) // 2 * trace[0].local_range[1])
    assert_close_to_reference(y, x, decoded)


@pytest.mark.parametrize(
    "name, dtype, n, k, expected",
    [
        ("q4_0", torch.float64, N, K, "qlinear_xpu_dequantize_kernel_q4_0_1x2"),  # not an explicit-SIMD type
        ("q4_0", torch.float32, 23, 64, "qlinear_xpu_dequantize_kernel_q4_0_1x2"),  # 23 blocks, not 8x
        ("q4_0", torch.float16, 24, 64, "dequantize_q4_0_kernel"),
        ("q8_0", torch.bfloat16, N, K, "qlinear_xpu_dequantize_kernel_q8_0_1x1"),
        ("q8_0", torch.float16, 23, 192, "qlinear_xpu_dequantize_kernel_q8_0_1x1"),  # 69 blocks, not 4x
        ("q8_0", torch.float16, 24, 192, "dequantize_q8_0_kernel"),
        ("q4_k", torch.float64, N, K, "qlinear_xpu_dequantize_kernel_q4_k"),
        ("q6_k", torch.float32, 4, 768, "dequantize_q6_k_kernel"),
        ("q6_k", torch.float32, 4, 320, "qlinear_xpu_dequantize_kernel_q6_k"),  # K not a multiple of 256
    ],
)
def test_dense_expansion_choice(name, dtype, n, k, expected):
    packed, decoded = packed_matrix(name, n, k)
    x = torch.randn(8, k, dtype=dtype)
    y, trace = traced(lambda: forward(x, packed, name))
    assert names(trace) == [expected]
    assert_close_to_reference(y, x, decoded)


def tile_launches(trace):
    return [launch for launch in trace if "tile" in launch.name]


@pytest.mark.parametrize(
    "name, device_class, batch, n, env, tile_kernel, tiles",
    [
        # q4_0: N > threshold, batch > 128, and DUKOR or the low-memory switch
        ("q4_0", "tavok", 200, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "4", "LUMORA_LOW_MEM": "1"},
         "qlinear_xpu_tile_dequantize_kernel_q4_0_1x2", 13),
        ("q4_0", "tavok", 200, 48, {"TILE_THRESHOLD": "48", "TILE_SIZE": "4", "LUMORA_LOW_MEM": "1"}, None, 0),
        ("q4_0", "tavok", 200, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "4"}, None, 0),
        ("q4_0", "tavok", 200, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "4", "LUMORA_LOW_MEM": "2"}, None, 0),
        ("q4_0", "tavok", 128, 49, {"TILE_THRESHOLD": "48", "LUMORA_LOW_MEM": "1"}, None, 0),
        ("q4_0", "dukor", 129, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "100"},
         "qlinear_xpu_tile_dequantize_kernel_q4_0_1x2", 1),
        ("q4_0", "selum", 200, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "16", "LUMORA_LOW_MEM": "1"},
         "qlinear_xpu_tile_dequantize_kernel_q4_0_1x4", 4),
        # fp6: the same rule with its 16-weight tile kernel
        ("fp6", "dukor", 200, 49, {"TILE_THRESHOLD": "48", "TILE_SIZE": "20"},
         "qlinear_xpu_tile_dequantize_kernel_fp6_1x16", 3),
        ("fp6", "dukor", 200, 48, {"TILE_THRESHOLD": "48", "TILE_SIZE": "20"}, None, 0),
        # q8_0 and fp8_e5m2: N >= threshold on TAVOK, any batch
        ("q8_0", "tavok", 2, 48, {"TILE_THRESHOLD": "48", "TILE_SIZE": "16"},
         "qlinear_xpu_tile_dequantize_kernel_q8_0_1x1", 3),
        ("q8_0", "tavok", 2, 47, {"TILE_THRESHOLD": "48", "TILE_SIZE": "16"}, None, 0),
        ("q8_0", "legacy", 2, 48, {"TILE_THRESHOLD": "48"}, None, 0),
        ("fp8_e5m2", "tavok", 3, 48, {"TILE_THRESHOLD": "48", "TILE_SIZE": "32"},
         "qlinear_xpu_tile_dequantize_kernel_fp8_e5m2_1x1", 2),
    ],
)
def test_tiled_road(restore_architectures, monkeypatch, name, device_class, batch, n, env, tile_kernel, tiles):
    xpu.set_architecture(0, {**CLASSES, "dukor": DUKOR}[device_class])
    for variable in ("TILE_THRESHOLD", "TILE_SIZE", "LUMORA_LOW_MEM"):
        monkeypatch.delenv(variable, raising=False)
    for variable, value in env.items():
        monkeypatch.setenv(variable, value)
    k = 64
    packed, decoded = packed_matrix(name, n, k)
    x = torch.randn(batch, k, dtype=torch.float32)
    y, trace = traced(lambda: forward(x, packed, name))
    launches = tile_launches(trace)
    assert len(launches) == tiles and {launch.name for launch in launches} <= {tile_kernel}
    if tiles:
        size = int(env.get("TILE_SIZE", 4096))
        rows = [launch.global_range[0] // launch.local_range[0] for launch in launches]
        assert rows == [min(size, n - start) for start in range(0, n, size)]
    assert_close_to_reference(y, x, decoded)


def test_environment_is_read_on_every_call(restore_architectures, monkeypatch):
    xpu.set_architecture(0, TAVOK)
    packed, _ = packed_matrix("q8_0", 48, 64)
    x = torch.randn(2, 64)
    monkeypatch.setenv("TILE_THRESHOLD", "48")
    assert tile_launches(traced(lambda: forward(x, packed, "q8_0"))[1])
    monkeypatch.setenv("TILE_THRESHOLD", "49")
    assert not tile_launches(traced(lambda: forward(x, packed, "q8_0"))[1])
    monkeypatch.setenv("TILE_THRESHOLD", "many")
    with pytest.raises(ValueError, match="stoll"):
        forward(x, packed, "q8_0")
    monkeypatch.setenv("TILE_THRESHOLD", "48")
    monkeypatch.setenv("TILE_SIZE", "x")
    with pytest.raises(ValueError, match="stoull"):
        forward(x, packed, "q8_0")
    monkeypatch.setenv("TILE_SIZE", "0")
    with pytest.raises(RuntimeError, match="TILE_SIZE must be at least 1"):
        forward(x, packed, "q8_0")


@pytest.mark.parametrize("device_class", sorted(CLASSES))
@pytest.mark.parametrize("name, k, n", [("q4_0_woq", 1040, 4), ("q6_k", 1040, 16), ("q4_0", 1088, 5),
                                        ("q5_0", 64 * 5, 3), ("q5_1", 64 * 3, 2), ("q4_k", 288, 8), ("fp6", 1040, 4), ("fp6_k", 1040, 16)])
def test_partial_last_step(restore_architectures, device_class, name, k, n):
    """K not a multiple of a step: the last step runs on the leading work-items only (K = 1040
    with 64 work-items: one full step, then work-item 0 alone; q5 with K/64 odd; q4_k rows that
    start inside a super-block)."""
    xpu.set_architecture(0, CLASSES[device_class])
    packed, decoded = packed_matrix(name, n, k)
    x = torch.randn(1, k)
    assert_close_to_reference(forward(x, packed, name), x, decoded)


@pytest.mark.parametrize("device_class", sorted(CLASSES))
def test_every_q6_k_code(restore_architectures, device_class):
    """Random code planes put every 6-bit code at every position of a group; with unit scales and
    activations of -1, 0 and 1 every product and sum is exact in fp32, so the result is exact
    only if each level is its code less 32 (-32 and 31 at the ends)."""
    xpu.set_architecture(0, CLASSES[device_class])
    n, k = 16, 1024
    blocks = n * k // 256
    g = torch.Generator().manual_seed(6)
    packed = torch.cat([torch.randint(0, 256, (blocks * 192,), generator=g, dtype=torch.uint8),
                        torch.ones(blocks * 16, dtype=torch.uint8),  # sub-scales
                        torch.ones(blocks, dtype=torch.float16).view(torch.uint8)])  # d
    decoded = torch.from_numpy(ref_decode(QTYPES["q6_k"], packed.numpy(), n, k)).double()
    assert set(decoded.unique().tolist()) == set(range(-32, 32))
    x = torch.randint(-1, 2, (1, k), generator=g).float()
    assert torch.equal(forward(x, packed, "q6_k").cpu().double(), x.double() @ decoded.T)


@pytest.mark.parametrize("dtype", [torch.float32, torch.float16, torch.bfloat16])
@pytest.mark.parametrize("flush_denormal", [False, True])
@pytest.mark.parametrize("name, exponent_mask", [("fp8_e4m3", 0x78), ("fp8_e5m2", 0x7C)])
def test_every_fp8_code(dtype, flush_denormal, name, exponent_mask):
    """Every finite fp8 code, the subnormal ones (exponent 0) in a row of their own (decoded as
    zeros, that row would give zeros), whatever flush mode the calling thread set: the launch
    runs groups on that thread too. An e5m2 code of all-ones exponent is NaN, in each row."""
    codes = np.arange(256, dtype=np.uint8)
    exponent = codes & exponent_mask
    largest = 0x58 if dtype == torch.float16 else 0x7C  # fp16 sums of e5m2 levels near 2^16 overflow
    finite = np.resize(codes[exponent < largest], 256)
    rows = np.stack([np.resize(codes[exponent == 0], 256), finite, finite[::-1], np.roll(finite, 77), codes])
    scales = np.full(rows.size // 64, 0.75, dtype=np.float32).view(np.uint8)
    packed = torch.from_numpy(np.concatenate([rows.ravel(), scales]))
    decoded = torch.from_numpy(ref_decode(QTYPES[name], packed.numpy(), 1, rows.size)).double().reshape(5, 256)
    x = torch.randn(1, 256).to(dtype)
    torch.set_flush_denormal(flush_denormal)
    try:
        y = forward(x, packed, name)
    finally:
        torch.set_flush_denormal(False)
    assert_close_to_reference(y[:, :4], x, decoded[:4])
    assert y[0, 4].isnan() == (name == "fp8_e5m2")


def packed_bytes(name, n, k):
    return lambda: quantize(torch.randn(n, k), name).to("xpu")


def q4_0_bytes(n, k):
    return packed_bytes("q4_0", n, k)


@pytest.mark.parametrize(
    "make_input, weight, qtype, error, message",
    [
        (lambda: torch.zeros(1, 100), q4_0_bytes(1, 128), 2, RuntimeError, "100 must be a multiple of 16"),
        (lambda: torch.zeros(1, 100), packed_bytes("q8_0", 2, 64), 8, RuntimeError,
         "100 must be a multiple of 8"),
        (lambda: torch.zeros(1, 1040), q4_0_bytes(13, 320), 2, RuntimeError, "must be a multiple of 64 for q4_0"),
        (lambda: torch.zeros(1, 64, dtype=torch.int32), q4_0_bytes(2, 64), 2, RuntimeError,
         "\"qlinear_forward_xpu\" not implemented for 'Int'"),
        (lambda: torch.zeros(3, 64, dtype=torch.int64), q4_0_bytes(2, 64), 10, RuntimeError,
         "\"qlinear_forward_xpu\" not implemented for 'Long'"),
        (lambda: torch.zeros(1, 64), q4_0_bytes(2, 64), 9, RuntimeError, "unsupported qtype: 9"),
        (lambda: torch.zeros(1, 64), q4_0_bytes(2, 64), 22, RuntimeError, "unsupported qtype: 22"),
        (lambda: torch.zeros(1, 64), q4_0_bytes(2, 64), 37, RuntimeError, "unsupported qtype: 37"),
        (lambda: torch.zeros(1, 64), q4_0_bytes(2, 64), -1, RuntimeError, "unsupported qtype: -1"),
        (lambda: torch.zeros(2, 0), q4_0_bytes(2, 64), 2, RuntimeError, "in_features"),
        (lambda: torch.zeros(64), q4_0_bytes(2, 64), 2, IndexError, "Dimension out of range"),
        (lambda: torch.zeros(1, 2, 64), q4_0_bytes(2, 64), 2, RuntimeError, "input must be a"),
        (lambda: torch.zeros(1, 64), lambda: q4_0_bytes(2, 64)().view(torch.int16), 2, RuntimeError, "uint8"),
        (lambda: torch.zeros(1, 64), lambda: q4_0_bytes(2, 64)().cpu(), 2, RuntimeError, "same device"),
        (lambda: torch.zeros(1, 64), lambda: q4_0_bytes(2, 64)().reshape(2, -1), 2, RuntimeError, "one-dimensional"),
    ],
)
def test_forward_rejects(make_input, weight, qtype, error, message):
    with pytest.raises(error, match=message):
        vorn_linear.forward_new(make_input().to("xpu"), weight(), qtype, 6)


def test_weight_length_rounds_down_to_whole_blocks():
    packed, decoded = packed_matrix("q8_0", 4, 128)
    x = torch.randn(1, 128)
    padded = torch.cat([packed, torch.zeros(67, dtype=torch.uint8)])  # one byte short of another block
    y = forward(x, padded, "q8_0")
    assert y.shape == (1, 4)
    assert_close_to_reference(y, x, decoded)
