#!/usr/bin/env bash
# Prints the size of the tests (tests/ and fuzz/) against the code (src/,
# include/ and tools/), in non-blank, non-comment lines of C++, shell and
# Python. The project keeps tests at a quarter to a third of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \) \
    ! -path '*/corpus/*' -print0 | xargs -0 cat | grep -cvE '^\s*(//|#|$)'
}
code=$(count src include tools)
tests=$(count tests fuzz)
echo "code $code, tests $tests: tests are $((100 * tests / code)) % of the code"
