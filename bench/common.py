"""Timing and reporting helpers shared by the benchmarks."""

from __future__ import annotations

import glob
import json
import math
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


def last_level_cache_bytes() -> int:
    """The largest cache the kernel reports for cpu 0 (64 MiB when sysfs does not say)."""
    sizes = []
    for path in glob.glob("/sys/devices/system/cpu/cpu0/cache/index*/size"):
        with open(path) as f:
            text = f.read().strip()
        scale = {"K": 2**10, "M": 2**20, "G": 2**30}.get(text[-1:], 1)
        sizes.append(int(text.rstrip("KMG")) * scale)
    return max(sizes, default=64 * 2**20)


def best_time_from_memory(fn, *tensors, repeat: int = 20, warmup: int = 1) -> float:
    """Seconds per call of fn(*tensors) with the tensors read from memory, as a model's layers
    read their weights: the calls cycle through copies whose total is at least twice the
    last-level cache. (A weight timed on its own stays in a large cache and reads faster than
    memory allows.) Tensors below 1/1024 of that total get 1024 copies and partly stay cached."""
    return best_times_from_memory([fn], *tensors, repeat=repeat, warmup=warmup)[0]


def best_times_from_memory(fns, *tensors, repeat: int = 20, warmup: int = 1) -> list[float]:
    """best_time_from_memory of each fn in fns, their runs taken in turn: this machine's speed
    drifts by 10% and more within minutes, which would otherwise decide a comparison of two
    forms that run one after the other."""
    nbytes = sum(t.nbytes for t in tensors)
    count = min(1024, math.ceil(2 * last_level_cache_bytes() / nbytes))
    copies = [tuple(t.clone() for t in tensors) for _ in range(count)]
    runs = [lambda fn=fn: [fn(*c) for c in copies] for fn in fns]
    for run in runs:
        for _ in range(warmup):
            run()
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[i] = min(best[i], time.perf_counter() - start)
    return [b / len(copies) for b in best]


def read_bandwidth() -> float:
    """Memory read bandwidth in GB/s: a platform kernel reading a buffer far larger than the
    caches on every thread."""
    x = torch.ones(max(2**30, 2 * last_level_cache_bytes()), dtype=torch.uint8, device="xpu")
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
