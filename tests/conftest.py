import os

# Two emulated devices, so that device indices and per-device state are exercised.
os.environ.setdefault("VORN_XPU_DEVICE_COUNT", "2")

import pytest  # noqa: E402
import torch  # noqa: E402

import vorn_linear  # noqa: E402,F401  (installs the host XPU platform)
from vorn import xpu  # noqa: E402


@pytest.fixture
def restore_architectures():
    """Lets a test change what devices report."""
    saved = [xpu.get_architecture(i) for i in range(xpu.device_count())]
    saved_device = xpu.current_device()
    yield
    for i, code in enumerate(saved):
        xpu.set_architecture(i, code)
    xpu.set_device(saved_device)


@pytest.fixture(autouse=True)
def seeded():
    torch.manual_seed(0)
