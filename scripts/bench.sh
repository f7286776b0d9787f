#!/usr/bin/env bash
# Builds an unchecked, optimised tree in build-bench/ and runs every benchmark
# under bench/, then prints one table. A benchmark reports each figure as a
# line "BENCH<TAB>figure<TAB>value<TAB>baseline<TAB>baseline value<TAB>ratio";
# everything else it prints goes to build-bench/bench.log.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${QV_BENCH_DIR:-$root/build-bench}
"$root/scripts/setup.sh" "$build" -DQV_CHECKED=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
source "$root/scripts/wine.sh"
wine_env "$build"
wine_up
trap wine_down EXIT

log=$build/bench.log
: >"$log"
rows=()
run() {
  echo "== $*" >>"$log"
  local out
  out=$("$@" 2>>"$log" </dev/null) || echo "(exit $?)" >>"$log"
  printf '%s\n' "$out" >>"$log"
  while IFS= read -r line; do rows+=("${line#BENCH	}"); done < <(printf '%s\n' "$out" | grep -a '^BENCH	' | tr -d '\r')
}
for exe in "$build"/bin/bench_*.exe; do
  [ -e "$exe" ] && run "$build/wine-run.sh" "$exe"
done
for script in "$root"/bench/*/run.sh; do
  [ -e "$script" ] && run bash "$script" "$build"
done

{
  echo "| figure | value | baseline (same run) | baseline value | ratio |"
  echo "|---|---|---|---|---|"
  for row in "${rows[@]}"; do
    IFS=$'\t' read -r figure value base base_value ratio <<<"$row"
    echo "| $figure | $value | ${base:--} | ${base_value:--} | ${ratio:--} |"
  done
} | tee "$build/bench.md"
echo
echo "Machine: $(nproc) cores, $(awk '/MemTotal/ {printf "%.0f GiB", $2/1048576}' /proc/meminfo), $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'); $(wine64 --version 2>/dev/null)"
echo "Full output: $log"
