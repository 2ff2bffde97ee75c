"""Timing and reporting helpers shared by the benchmarks."""

from __future__ import annotations

import json
import platform
import time

import torch


def best_time(fn, repeat: int = 20, warmup: int = 3) -> float:
    """The fastest of `repeat` runs, in seconds."""
    for _ in range(warmup):
        fn()
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def read_bandwidth(gib: float = 1.0) -> float:
    """Memory read bandwidth in GB/s: a platform kernel reading a buffer far larger than the
    caches on every thread."""
    x = torch.ones(int(gib * 2**30), dtype=torch.uint8, device="xpu")
    seconds = best_time(lambda: torch.ops.vorn_host.read_probe(x), repeat=10, warmup=2)
    return x.nbytes / seconds / 1e9


def machine() -> str:
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    return f"{cpu}, {torch.get_num_threads()} threads, torch {torch.__version__}"


def print_table(title: str, columns: list[str], rows: list[list], json_path: str | None = None) -> None:
    print(f"\n{title}")
    cells = [columns] + [[f"{v:.3g}" if isinstance(v, float) else str(v) for v in row] for row in rows]
    widths = [max(len(r[i]) for r in cells) for i in range(len(columns))]
    for i, row in enumerate(cells):
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))
        if i == 0:
            print("  ".join("-" * w for w in widths))
    if json_path:
        with open(json_path, "w") as f:
            json.dump({"title": title, "machine": machine(), "columns": columns, "rows": rows}, f, indent=1)
