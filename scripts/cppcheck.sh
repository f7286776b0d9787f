#!/usr/bin/env bash
# Static analysis of src/ as the Windows x64 build sees it; any finding fails.
# Only the project's own sources and headers are read: system headers and
# RapidJSON are not on the include path. Results are cached per file in
# BUILD_DIR/cppcheck, so unchanged files are not analysed again.
# Usage: scripts/cppcheck.sh [build-dir]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
mkdir -p "$build/cppcheck"
cd "$root"
exec cppcheck --quiet --enable=warning,style,performance,portability --inline-suppr \
  --error-exitcode=1 --std=c++17 --platform=win64 -D_WIN32 -DUNICODE -D_UNICODE \
  -I include -I src --suppress=missingIncludeSystem -j 2 \
  --cppcheck-build-dir="$build/cppcheck" src
