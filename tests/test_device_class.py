import pytest
import torch

import vorn_linear
from vorn import xpu

# The architecture table, by class.
CLASSES = {
    "tavok": [0x030f0007, 0x030f4007, 0x05004000],
    "selum": [0x030dc008],
    "dukor": [0x03118004, 0x0311c004],
    "fahip": [0x030e0005],
    "rizel": [0x05010004],
    "kezap": [0x07800000],
    "legacy": [0x03000000, 0x03004000, 0x03008000, 0x0300c000, 0x03028000],
}


@pytest.mark.parametrize("name, code", [(n, c) for n, codes in CLASSES.items() for c in codes])
def test_each_table_code_gives_its_class(restore_architectures, name, code):
    xpu.set_architecture(0, code)
    assert vorn_linear.get_xpu_device_name(torch.device("xpu", 0)) == name


@pytest.mark.parametrize("code", [0, 0x030f0006, 2**63 - 1])
def test_unlisted_code_is_unknown(restore_architectures, code):
    xpu.set_architecture(0, code)
    assert vorn_linear.get_xpu_device_name(torch.device("xpu", 0)) == "unknown"


def test_devices_and_current_device(restore_architectures):
    xpu.set_architecture(0, CLASSES["selum"][0])
    xpu.set_architecture(1, CLASSES["legacy"][0])
    assert vorn_linear.get_xpu_device_name(torch.device("xpu", 1)) == "legacy"
    # Index -1 (an index-less device, of any type) means the current device.
    for device in (torch.device("xpu"), torch.device("cpu")):
        assert vorn_linear.get_xpu_device_name(device) == "selum"
    xpu.set_device(1)
    assert vorn_linear.get_xpu_device_name(torch.device("cpu")) == "legacy"
    xpu.set_architecture(1, CLASSES["dukor"][1])
    assert vorn_linear.get_xpu_device_name(torch.device("cpu")) == "dukor"


def test_index_without_device_fails():
    with pytest.raises(IndexError, match="xpu device index 5 is out of range"):
        vorn_linear.get_xpu_device_name(torch.device("xpu", 5))
