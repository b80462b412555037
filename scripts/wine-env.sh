# Sourced by the scripts: the project's own wine prefix, made ready and kept warm.
export WEBMON_WINEPREFIX="${WEBMON_WINEPREFIX:-${HOME:-/root}/.cache/webmon-wine}"
export WINEPREFIX="$WEBMON_WINEPREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine_start() {
  mkdir -p "$WINEPREFIX"
  # A persistent wineserver saves seconds per test executable.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  # Start wine's own background processes now, detached from every pipe: started by a test
  # instead, they would inherit its output pipe and keep the reader waiting for its end.
  echo "wine: preparing the prefix $WINEPREFIX"
  wineboot -i >/dev/null 2>&1 </dev/null || true
}
wine_stop() { wineserver -k >/dev/null 2>&1 || true; }
