"""Controls of the host XPU platform, and the ``torch.xpu`` answers a CPU build of PyTorch lacks.

Every xpu device of this platform is the host CPU; kernels run before their launch returns.
The functions here call the platform's operators (``torch.ops.vorn_host``), which exist once
``vorn_linear`` is imported.
"""

from __future__ import annotations

import dataclasses
from typing import Union

import torch

Device = Union[int, str, torch.device, None]


def _ops():
    return torch.ops.vorn_host


def _index(device: Device) -> int:
    """The device index of ``device``; None and an index-less device mean the current one."""
    if device is None:
        return current_device()
    if isinstance(device, int):
        return device
    device = torch.device(device)
    if device.type != "xpu":
        raise ValueError(f"expected an xpu device, got {device}")
    return current_device() if device.index is None else device.index


def device_count() -> int:
    return _ops().device_count()


def current_device() -> int:
    return _ops().current_device()


def set_device(device: Device) -> None:
    _ops().set_device(_index(device))


def get_architecture(device: Device = None) -> int:
    """The architecture code the device reports (what device classification reads)."""
    return _ops().get_architecture(_index(device))


def set_architecture(device: Device, code: int) -> None:
    """Makes the device report ``code`` from now on."""
    _ops().set_architecture(_index(device), code)


def synchronize(device: Device = None) -> None:
    _ops().synchronize(_index(device))


@dataclasses.dataclass(frozen=True)
class Stream:
    """A platform stream: an in-order queue of one device."""

    device_index: int
    stream_id: int
    priority: int = 0

    @property
    def device(self) -> torch.device:
        return torch.device("xpu", self.device_index)

    def synchronize(self) -> None:
        synchronize(self.device_index)

    def query(self) -> bool:
        return True


def current_stream(device: Device = None) -> Stream:
    return Stream(*_ops().current_stream(_index(device)))


def new_stream(device: Device = None, priority: int = 0) -> Stream:
    """A stream from the device's pool; priority 0 is normal, negative is high."""
    index = _index(device)
    stream_id = _ops().stream_from_pool(index, priority)
    return Stream(index, stream_id, -1 if priority < 0 else 0)


def set_stream(stream: Stream) -> None:
    _ops().set_stream(stream.device_index, stream.stream_id)


@dataclasses.dataclass(frozen=True)
class Launch:
    """One kernel launch as the platform recorded it."""

    name: str
    global_range: tuple[int, ...]
    local_range: tuple[int, ...]
    sub_group_size: int
    device: int


_TRACE_FIELDS = 9


def launch_trace() -> list[Launch]:
    """The most recent launches, oldest first (the platform keeps a bounded number)."""
    names, numbers = _ops().launch_trace()
    launches = []
    for i, name in enumerate(names):
        dims, *rest = numbers[i * _TRACE_FIELDS:(i + 1) * _TRACE_FIELDS]
        launches.append(Launch(name, tuple(rest[0:dims]), tuple(rest[3:3 + dims]), rest[6], rest[7]))
    return launches


def clear_launch_trace() -> None:
    _ops().clear_launch_trace()


def is_live_allocation(address: int, nbytes: int, device: Device = None) -> bool:
    """True when [address, address + nbytes) lies inside one live allocation of the device."""
    return _ops().is_live_range(_index(device), address, nbytes)


def empty_cache() -> None:
    """Frees the released device blocks the platform keeps for reuse."""
    _ops().empty_cache()


def cached_memory() -> int:
    """Bytes of released device blocks kept for reuse (0 in the sanitizer build)."""
    return _ops().cached_bytes()


def get_device_name(device: Device = None) -> str:
    return f"Host XPU (architecture 0x{get_architecture(device):08x})"


@dataclasses.dataclass(frozen=True)
class DeviceProperties:
    """What ``torch.xpu.get_device_properties`` reports for a platform device."""

    name: str
    architecture: int
    max_work_group_size: int = 1024
    sub_group_sizes: tuple[int, ...] = (8, 16, 32)
    total_memory: int = 0  # host memory: no separate device budget
    has_fp16: bool = True
    has_fp64: bool = True
    has_bfloat16_conversions: bool = True
    has_atomic64: bool = True
    has_subgroup_matrix_multiply_accumulate: bool = False
    is_integrated_gpu: bool = True
    type: str = "host"


def get_device_properties(device: Device = None) -> DeviceProperties:
    return DeviceProperties(get_device_name(device), get_architecture(device))


class _DeviceContext:
    """``torch.xpu.device``: makes a device current inside a ``with`` block."""

    def __init__(self, device: Device) -> None:
        self.index = _index(device)
        self.previous = -1

    def __enter__(self):
        self.previous = current_device()
        set_device(self.index)

    def __exit__(self, *exc) -> None:
        set_device(self.previous)


def _exchange_device(index: int) -> int:
    previous = current_device()
    if index >= 0:
        set_device(index)
    return previous


def get_rng_state(device: Device = "xpu") -> torch.Tensor:
    """Random numbers for xpu tensors come from the CPU generator, so its state is theirs
    (torch.compile saves and restores it around tracing)."""
    return torch.random.get_rng_state()


def set_rng_state(new_state: torch.Tensor, device: Device = "xpu") -> None:
    torch.random.set_rng_state(new_state)


def install() -> None:
    """Answers torch.xpu's device queries from this platform when PyTorch has no XPU backend."""
    xpu = torch.xpu
    if xpu._is_compiled():
        raise ImportError("vorn_linear runs its XPU kernels on the host and cannot load into a "
                          "PyTorch build that has its own XPU backend")
    overrides = {
        "is_available": lambda: device_count() > 0,
        "device_count": device_count,
        "current_device": current_device,
        "set_device": set_device,
        "synchronize": synchronize,
        "empty_cache": empty_cache,
        "current_stream": current_stream,
        "set_stream": set_stream,
        "get_device_name": get_device_name,
        "get_device_properties": get_device_properties,
        "device": _DeviceContext,
        "_exchange_device": _exchange_device,
        "_maybe_exchange_device": _exchange_device,
        "is_bf16_supported": lambda including_emulation=True: True,
        "get_rng_state": get_rng_state,
        "set_rng_state": set_rng_state,
    }
    for name, value in overrides.items():
        setattr(xpu, name, value)
    # Every xpu tensor creation from Python first asks torch.xpu to initialise itself.
    xpu._initialized = True
