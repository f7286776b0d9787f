#!/usr/bin/env bash
# Regenerates docs/PACKETS.md from the packet builders (tools/packetdoc).
# The ctest entries "packets_doc" and "docs_names" check the documents
# against the code.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >/dev/null
source "$root/scripts/wine.sh"
wine_session "$build"
doc="Z:$root/docs/PACKETS.md"
# Rewritten only when more than the creation times and fresh channels differ.
if "$build/wine-run.sh" "$build/bin/packetdoc.exe" --check "$doc" </dev/null >/dev/null 2>&1; then
  echo "Up to date: docs/PACKETS.md"
else
  "$build/wine-run.sh" "$build/bin/packetdoc.exe" "$doc" </dev/null
  echo "Written: docs/PACKETS.md"
fi
