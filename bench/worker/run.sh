#!/usr/bin/env bash
# Scan-size worker against native tools on one generated tree.
# Usage: bench/worker/run.sh [build-dir] [folders] [files-per-folder]
# Builds the tree under /tmp (kept between runs), then times on a warm cache
# native `find -type f | wc -l` and `du -sb` (best of 3), the bare Wine
# FindFirstFileW/FindNextFileW walk and the worker (both through Z:).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
folders=${2:-5000}
per_folder=${3:-10}
tree=/tmp/qv_worker_bench_${folders}x${per_folder}

if [ ! -f "$tree.complete" ]; then
  rm -rf "$tree"
  python3 - "$tree" "$folders" "$per_folder" <<'PY'
import os, sys
tree, folders, per = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
top = max(1, int(folders ** 0.5))
for f in range(folders):
    d = os.path.join(tree, "t%03d" % (f % top), "f%05d" % f)
    os.makedirs(d, exist_ok=True)
    for i in range(per):
        with open(os.path.join(d, "file%02d.dat" % i), "wb") as out:
            out.write(b"x" * ((f * 7 + i * 131) % 4096))
open(tree + ".complete", "w").close()
PY
fi

source "$root/scripts/wine.sh"
wine_env "$build"
wine_up
trap wine_down EXIT
exe="$build/bin/worker_bench.exe"
wintree="Z:${tree//\//\\}"

best() {  # best wall time of 3 runs of "$@", in seconds
  local best=""
  for _ in 1 2 3; do
    local t0 t1 d
    t0=$(date +%s.%N); "$@" >/dev/null; t1=$(date +%s.%N)
    d=$(echo "$t1 - $t0" | bc -l)
    if [ -z "$best" ] || (( $(echo "$d < $best" | bc -l) )); then best=$d; fi
  done
  echo "$best"
}

files=$(find "$tree" -type f | wc -l)
bytes=$(find "$tree" -type f -printf '%s\n' | awk '{s+=$1} END {print s+0}')
t_find=$(best sh -c "find '$tree' -type f | wc -l")
t_du=$(best du -sb "$tree")

# In-process timings, the three walkers interleaved over 5 rounds, best of
# each (the Wine start-up of about 50 ms is not in them).
runs=$("$build/wine-run.sh" "$exe" all "$wintree" 5 </dev/null 2>/dev/null | tr -d '\r')
inproc() {  # mode -> "files bytes best-seconds"
  grep "^$1 " <<<"$runs" | sort -k5 -g | head -1 | awk '{print $2, $4, $5}'
}
read -r b_files b_bytes t_bare <<<"$(inproc bare)"
read -r w_files w_bytes t_worker <<<"$(inproc worker)"
read -r f_files f_bytes t_filtered <<<"$(inproc filtered)"

rate() { echo "$files / $1" | bc -l | xargs printf '%.0f'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }
echo "tree: $tree ($files files, $folders leaf folders, $bytes bytes in files; du also counts folders)"
printf '%-34s %10s %12s %12s %9s\n' "walker" "seconds" "files/s" "bytes" "vs bare"
printf '%-34s %10.4f %12s %12s %9s\n' "find -type f | wc -l (native)" "$t_find" "$(rate "$t_find")" "-" "$(ratio "$t_find" "$t_bare")"
printf '%-34s %10.4f %12s %12s %9s\n' "du -sb (native)" "$t_du" "$(rate "$t_du")" "$(du -sb "$tree" | cut -f1)" "$(ratio "$t_du" "$t_bare")"
printf '%-34s %10.4f %12s %12s %9s\n' "FindFirstFileW loop (Wine, floor)" "$t_bare" "$(rate "$t_bare")" "$b_bytes" "1.00"
printf '%-34s %10.4f %12s %12s %9s\n' "FileInfoWorker (Wine)" "$t_worker" "$(rate "$t_worker")" "$w_bytes" "$(ratio "$t_worker" "$t_bare")"
printf '%-34s %10.4f %12s %12s %9s\n' "FileInfoWorker + exclusions" "$t_filtered" "$(rate "$t_filtered")" "$f_bytes" "$(ratio "$t_filtered" "$t_bare")"
echo "files seen: bare $b_files, worker $w_files, filtered $f_files"
printf 'BENCH\tscan-size worker files/s\t%s\tFindFirstFileW loop files/s (same tree)\t%s\t%s\n' \
  "$(rate "$t_worker")" "$(rate "$t_bare")" "$(ratio "$t_bare" "$t_worker")"
printf 'BENCH\tscan-size worker with exclusions files/s\t%s\tFindFirstFileW loop files/s (same tree)\t%s\t%s\n' \
  "$(rate "$t_filtered")" "$(rate "$t_bare")" "$(ratio "$t_bare" "$t_filtered")"
