#!/usr/bin/env bash
# Installs everything the library needs on a fresh Debian 12 or 13 machine and builds it into
# the current Python environment. Safe to re-run: finished steps are skipped, the build is
# incremental (build/).
set -euo pipefail
cd "$(dirname "$0")/.."

dnnl_prefix=$(scripts/install_deps.sh | tail -n 1)
export CMAKE_PREFIX_PATH="$dnnl_prefix${CMAKE_PREFIX_PATH:+:$CMAKE_PREFIX_PATH}"

# torch 2.13.0 is the CPU wheel; an unpinned torch would bring a CUDA build.
python3 -m pip install -q torch==2.13.0 numpy pytest tqdm "scikit-build-core>=0.10"
# No build isolation: the extension must build against the torch installed above.
python3 -m pip install -q --no-build-isolation --no-deps .
