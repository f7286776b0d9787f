#!/usr/bin/env bash
# Builds everything with warnings as errors, runs the static analysis and
# every test executable under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" -DQV_WERROR=ON
"$root/scripts/cppcheck.sh" "$build"
source "$root/scripts/wine.sh"
wine_session "$build"
ctest --test-dir "$build" --output-on-failure "$@"
