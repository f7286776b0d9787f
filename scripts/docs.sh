#!/usr/bin/env bash
# Regenerates docs/PACKETS.md from the packet builders (tools/packetdoc).
# The ctest entries "packets_doc" and "docs_names" check the documents
# against the code.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >/dev/null
source "$root/scripts/wine.sh"
wine_env "$build"
wine_up
trap wine_down EXIT
"$build/wine-run.sh" "$build/bin/packetdoc.exe" "Z:$root/docs/PACKETS.md" </dev/null
echo "Written: docs/PACKETS.md"
