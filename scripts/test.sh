#!/usr/bin/env bash
# Installs, builds and runs the test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
python3 -m pytest -q tests "$@"
