#!/usr/bin/env bash
# Prints the size of the tests (tests/ and fuzz/) against the code (src/,
# include/ and tools/), in non-blank, non-comment lines of C++, shell and
# Python, and apart from them the lines of the tables and transcripts the
# tests read from tests/data. The project keeps tests at a quarter to a third
# of the code.
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.sh' -o -name '*.py' \) \
    ! -path '*/corpus/*' -print0 | xargs -0 cat | grep -cvE '^\s*(//|#|$)'
}
code=$(count src include tools)
tests=$(count tests fuzz)
data=$(find tests/data -type f -print0 | xargs -0 cat | grep -cvE '^\s*(#|$)')
echo "code $code, tests $tests: tests are $((100 * tests / code)) % of the code"
echo "test data: $data lines in tests/data"
