"""What the test machine's CPU reports, for tests whose expectations depend on its extensions."""

from pathlib import Path


def cpu_flags() -> list[str]:
    try:
        return Path("/proc/cpuinfo").read_text().split()
    except OSError:
        return []
