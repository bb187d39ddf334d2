#!/usr/bin/env bash
# The whole test suite again under ThreadSanitizer: the receive thread of a
# session and concurrent callers of the reordering receiver must be free of
# data races and lock-order problems.
set -euo pipefail
cd "$(dirname "$0")/../.."
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1${TSAN_OPTIONS:+ $TSAN_OPTIONS}"
if [ -s scripts/tsan.supp ]; then
  export TSAN_OPTIONS="$TSAN_OPTIONS suppressions=$PWD/scripts/tsan.supp"
fi
BUILD_DIR=build-tsan SANITIZE=thread bash scripts/test.sh
