"""The portable builds of the hand-vectorised kernels, which machines without AVX-512 run: the
linear, q8_1-path, fused MLP and dequantize suites again in a process that turns AVX-512 off."""

import os
import subprocess
import sys
from pathlib import Path


def test_suites_pass_without_avx512():
    here = Path(__file__).parent
    suites = [str(here / name) for name in ("test_linear.py", "test_q8_1.py", "test_mlp.py", "test_dequant.py")]
    env = dict(os.environ, VORN_NO_AVX512="1")
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider", *suites],
                            env=env, capture_output=True, text=True, timeout=1800)
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-2000:]
