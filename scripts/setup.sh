#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks, builds the project and
# prepares the build's own Wine prefix. Idempotent; fast when all is there.
# Usage: scripts/setup.sh [build-dir] [extra cmake options...]
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
shift || true

packages=(g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev wine64 rapidjson-dev googletest
          libz-mingw-w64-dev cmake ninja-build cppcheck)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" "$@" >/dev/null
elif [ $# -gt 0 ]; then
  cmake "$build" "$@" >/dev/null
fi
cmake --build "$build"

# shellcheck source=wine.sh
source "$root/scripts/wine.sh"
wine_env "$build"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "setup: creating the Wine prefix"
  wine_up
  /usr/lib/wine/wine64 wineboot -i </dev/null >/dev/null 2>&1
  wine_down
fi

# What the product's installer would have put in place.
drive_c=$WINEPREFIX/drive_c
compressor_dir="$drive_c/ProgramData/Quillfeather/Consumer/QZB/9"
install_dir="$drive_c/Program Files/Quillfeather/Anti-Virus"
mkdir -p "$compressor_dir" "$install_dir" "$drive_c/ProgramData/QuillfeatherZub/StoredData/TEMP"
[ -f "$build/bin/QfCompress.exe" ] && cp -f "$build/bin/QfCompress.exe" "$compressor_dir/"
[ -f "$root/data/resource.json" ] && cp -f "$root/data/resource.json" "$install_dir/"
if ! grep -q '"InstallPath"' "$WINEPREFIX/system.reg" 2>/dev/null; then
  wine_up
  /usr/lib/wine/wine64 reg add 'HKLM\SOFTWARE\Quillfeather\Anti-Virus' /v InstallPath /t REG_SZ \
    /d 'C:\Program Files\Quillfeather\Anti-Virus' /f </dev/null >/dev/null 2>&1
  wine_down
fi
