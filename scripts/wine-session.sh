# Sourced by the test and demo scripts: a private X display (Xvfb) and a Wine prefix inside the
# build tree, ready for the win64 programs. Call wine_session_start, then wine_session_stop.

WINE64=${WINE64:-/usr/lib/wine/wine64}

wine_session_start() {
  local prefix=$1
  mkdir -p "$(dirname "$prefix")"
  export WINEPREFIX=$prefix
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  export WINEARCH=win64

  if [ -z "${QV_KEEP_DISPLAY:-}" ] || [ -z "${DISPLAY:-}" ]; then
    local fdfile
    fdfile=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$fdfile" >/dev/null 2>&1 &
    QV_XVFB_PID=$!
    for _ in $(seq 100); do
      [ -s "$fdfile" ] && break
      sleep 0.1
    done
    if [ ! -s "$fdfile" ]; then
      echo "wine-session: Xvfb did not start" >&2
      return 1
    fi
    export DISPLAY=":$(head -n1 "$fdfile")"
    rm -f "$fdfile"
  fi

  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE64" wineboot -i >/dev/null 2>&1 || true
    # Xvfb runs no window manager: Wine draws the frames itself, and hiding a window does not
    # wait for a manager's answer.
    "$WINE64" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
  fi
  # A persistent server keeps later Wine starts fast.
  "$(dirname "$WINE64")/wineserver" -p >/dev/null 2>&1 || wineserver -p >/dev/null 2>&1 || true
  # Ready once a program runs to its end: the first test must not race the server's start.
  for _ in $(seq 20); do
    "$WINE64" cmd /c exit >/dev/null 2>&1 && break
    sleep 0.5
  done
}

wine_session_stop() {
  "$(dirname "$WINE64")/wineserver" -k >/dev/null 2>&1 || wineserver -k >/dev/null 2>&1 || true
  if [ -n "${QV_XVFB_PID:-}" ]; then
    kill "$QV_XVFB_PID" 2>/dev/null || true
    wait "$QV_XVFB_PID" 2>/dev/null || true
    QV_XVFB_PID=
  fi
}
