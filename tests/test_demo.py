"""The main job: the demonstration's errors against the fp32 model stay finite and small over
several decode steps."""

import math
import subprocess
import sys


def test_demo_errors_stay_finite():
    result = subprocess.run([sys.executable, "-m", "vorn.demo", "--hidden", "256", "--intermediate", "512",
                             "--prefill", "4", "--steps", "6", "--formats", "q8_0,q4_k"],
                            capture_output=True, text=True, timeout=600)
    assert result.returncode == 0, result.stderr[-2000:]
    rows = {line.split()[0]: line.split() for line in result.stdout.splitlines()
            if line.split() and line.split()[0] in ("q8_0", "q4_k")}
    assert set(rows) == {"q8_0", "q4_k"}, result.stdout
    for name, bound in (("q8_0", 0.05), ("q4_k", 0.5)):
        prefill_error, decode_error = float(rows[name][1]), float(rows[name][2])
        assert math.isfinite(decode_error) and prefill_error < bound and decode_error < bound, rows[name]
