#!/usr/bin/env bash
# Configures and builds one preset: debug (sanitizers), release or fuzz.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-release}"
scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
