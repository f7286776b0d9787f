#!/usr/bin/env bash
# Runs the fault suite and writes docs/RELIABILITY.md from the figures it
# prints (lines "FAULTS<TAB>tried<TAB>times<TAB>unit<TAB>held").
# QV_FAULT_SEED=N replays a run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BUILD_DIR:-$root/build}
"$root/scripts/setup.sh" "$build" >/dev/null
source "$root/scripts/wine.sh"
wine_session "$build"

log=$build/faults.log
status=0
"$build/wine-run.sh" "$build/bin/faults_tests.exe" >"$log" 2>&1 </dev/null || status=$?
tr -d '\r' <"$log" >"$log.tmp" && mv "$log.tmp" "$log"
if [ "$status" -ne 0 ]; then
  echo "fault suite failed (exit $status); see $log" >&2
  exit "$status"
fi

out=$root/docs/RELIABILITY.md
{
  sed -n '/^<!-- table -->/q;p' "$root/docs/RELIABILITY.in.md"
  echo "| what was tried | how often | what held |"
  echo "|---|---|---|"
  grep -a '^FAULTS	' "$log" | while IFS=$'\t' read -r _ tried times unit held; do
    echo "| $tried | $times $unit | $held |"
  done
  echo
  echo "Seed of the random export calls in this run: $(grep -ao 'random calls: seed [0-9]*' "$log" | cut -d' ' -f4 | paste -sd' ' -) (every randomised test repeats its own seed when a check fails)."
  echo "Run on $(date -u +%Y-%m-%d): $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $(/usr/lib/wine/wine64 --version 2>/dev/null || echo "Wine version unknown")."
  sed -n '/^<!-- table -->/,$p' "$root/docs/RELIABILITY.in.md" | tail -n +2
} >"$out"
echo "wrote $out"
