import threading

import torch

import vorn_linear
from vorn import xpu
from vorn.quantize import quantize


def workload(device):
    """A mix of operations on one device: dense expansion, fused MLP, oneDNN FP8 linear."""
    generator = torch.Generator().manual_seed(7)
    w = quantize(torch.randn(16, 256, generator=generator), "q4_0").to(device)
    x = torch.randn(2, 256, generator=generator).to(device)
    fp8 = torch.randn(24, 256, generator=generator).to(torch.float8_e4m3fn).to(device)
    return [
        vorn_linear.dequant(x, w, 2),
        vorn_linear.mlp_forward_xpu(x, w, w, 2, 256, 16, 0, 2),
        vorn_linear.run_linear_fp8(x.half(), fp8, None, None),
    ]


def test_threads_on_their_own_streams_and_devices_match_serial_calls():
    serial = {d: [t.cpu() for t in workload(f"xpu:{d}")] for d in (0, 1)}
    results, errors = {}, []

    def worker(index):
        device = index % 2
        try:
            xpu.set_device(device)
            xpu.set_stream(xpu.new_stream(device, priority=-1 if index % 3 == 0 else 0))
            for repeat in range(3):
                results[(index, repeat)] = (device, [t.cpu() for t in workload(f"xpu:{device}")])
        except Exception as error:  # reported below, with the thread that raised it
            errors.append((index, error))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors
    assert len(results) == 18
    for device, tensors in results.values():
        for got, expected in zip(tensors, serial[device]):
            assert torch.equal(got, expected)
