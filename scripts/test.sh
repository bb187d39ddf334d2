#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs every test.
#   BUILD_DIR   build directory (default: build)
#   SANITIZE    value for RTSPPULL_SANITIZE (default: none)
#   CTEST_ARGS  extra arguments for ctest
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
BUILD_DIR="${BUILD_DIR:-build}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRTSPPULL_BUILD_TESTS=ON -DRTSPPULL_BUILD_TOOLS=ON \
  -DRTSPPULL_SANITIZE="${SANITIZE:-}"
cmake --build "$BUILD_DIR" -j "$(nproc)"
# shellcheck disable=SC2086
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" ${CTEST_ARGS:-}
