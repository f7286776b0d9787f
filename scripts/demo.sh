#!/usr/bin/env bash
# Builds everything and runs the demo scan under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build"
source "$root/scripts/wine.sh"
wine_session "$build"
"$build/wine-run.sh" "$build/bin/qvdemo.exe" "$@"
