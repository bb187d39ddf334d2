#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds and runs a small
# host program against the installed package, once through CMake's
# find_package and once through pkg-config.
set -euo pipefail
cd "$(dirname "$0")/../.."
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake -S . -B "$work/build" -DCMAKE_BUILD_TYPE=Release \
  -DRTSPPULL_BUILD_TESTS=OFF -DRTSPPULL_BUILD_TOOLS=OFF \
  -DRTSPPULL_BUILD_BENCH=OFF -DRTSPPULL_BUILD_FUZZ=OFF
cmake --build "$work/build" -j "$(nproc)"
cmake --install "$work/build" --prefix "$prefix"

libdir="$(dirname "$(find "$prefix" -name 'librtsppull.so' -print -quit)")"
export LD_LIBRARY_PATH="$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"

echo "--- host program through find_package"
cmake -S tests/install-consumer -B "$work/consumer" -DCMAKE_PREFIX_PATH="$prefix"
cmake --build "$work/consumer"
"$work/consumer/rtsppull_consumer"

echo "--- host program through pkg-config"
export PKG_CONFIG_PATH="$libdir/pkgconfig${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}"
# shellcheck disable=SC2046
c++ -std=c++17 -Wall -Wextra -Werror -o "$work/consumer-pc" \
  tests/install-consumer/main.cpp $(pkg-config --cflags --libs rtsppull)
"$work/consumer-pc"
echo "install-check: both host programs passed"
