#!/usr/bin/env bash
# Builds the extension with AddressSanitizer and UndefinedBehaviorSanitizer into a virtual
# environment of its own (build/venv-sanitized) and runs the test suite against it. In this build
# device memory is poisoned outside device work, so host code that dereferences a device pointer
# is reported too. Expects scripts/setup.sh to have run (scripts/test.sh runs both).
set -euo pipefail
cd "$(dirname "$0")/.."

venv=build/venv-sanitized
[ -x "$venv/bin/python" ] || python3 -m venv --system-site-packages "$venv"
dnnl_prefix=$(scripts/install_deps.sh | tail -n 1)
CMAKE_PREFIX_PATH="$dnnl_prefix" "$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
  -C cmake.define.VORN_SANITIZE=ON -C build-dir=build/sanitized .

# The sanitizer runtime must be loaded before anything else, and the C++ runtime with it so that
# its exception interceptors find __cxa_throw (Python itself is not C++). Python's allocations
# live until exit, so leak checking is off.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:alloc_dealloc_mismatch=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
"$venv/bin/python" -m pytest -q -p no:cacheprovider tests "$@"
