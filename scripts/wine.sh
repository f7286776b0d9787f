# Wine helpers for the scripts. A persistent server must start before any
# other Wine process of the prefix, or every process start costs seconds.
wine_env() {
  export WINEPREFIX="$(realpath -m "$1")/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
}
wine_up() {
  wineserver -p </dev/null >/dev/null 2>&1 || true
  /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1 || true
}
wine_down() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  wineserver -w </dev/null >/dev/null 2>&1 || true
}
# Prefix of build folder $1 with its server up until the calling script exits.
wine_session() {
  wine_env "$1"
  wine_up
  trap wine_down EXIT
}
