#!/usr/bin/env bash
# Installs, builds and runs the demonstration on built-in data (options: --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
python3 -m vorn.demo "$@"
