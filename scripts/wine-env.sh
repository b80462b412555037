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
# The first program after the server starts that brings up OLE and WinINet waits seconds for
# wine's services to start (7 to 10 s seen); later ones take a fraction of a second. One run of
# webmon.exe over a refused address pays that before any test times anything.
wine_warm() {  # WEBMON_EXE
  local dir start=$SECONDS
  dir=$(mktemp -d)
  cp "$1" "$dir/" && printf '30\r\nhttp://127.0.0.1:1/\r\n' > "$dir/web.txt"
  (cd "$dir" && timeout 120 wine "./$(basename "$1")" </dev/null >/dev/null 2>&1)
  echo "wine: warm after $((SECONDS - start)) s"
  rm -rf "$dir"
}
wine_stop() { wineserver -k >/dev/null 2>&1 || true; }
