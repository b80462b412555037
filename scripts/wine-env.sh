# Sourced by the scripts: the project's own wine prefix, made ready and kept warm.
export WEBMON_WINEPREFIX="${WEBMON_WINEPREFIX:-${HOME:-/root}/.cache/webmon-wine}"
export WINEPREFIX="$WEBMON_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_start() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: preparing the prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
  fi
  # A persistent wineserver saves seconds per test executable.
  wineserver -p >/dev/null 2>&1 || true
}
wine_stop() { wineserver -k >/dev/null 2>&1 || true; }
