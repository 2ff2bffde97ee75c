"""What importing vorn_linear sets up beyond its functions: the torch.xpu answers of the host
platform and the shape functions of the lumora operators."""

from vorn import fake, xpu


def run() -> None:
    xpu.install()
    fake.register()
