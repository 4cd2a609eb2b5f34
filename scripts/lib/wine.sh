# Wine in a private prefix with a display of its own; sourced by scripts/test and scripts/demo.
#   wine_start PREFIX [visible]   creates the prefix once, starts Xvfb (unless `visible` and a
#                                 $DISPLAY exists) and a persistent wineserver
#   wine_stop                     ends both
#   wine_use_prefix PREFIX        only the environment for Wine in PREFIX (no display, no server)
# Wine's daemons inherit the standard streams of whoever starts them: they are started with
# their output sent to /dev/null so that no pipe waits for them.

#   wine_runs_32bit               true when this machine runs 32-bit programs (Wine's 32-bit loader)
#   wine_tree BUILD_ROOT          the Windows build tree whose programs this machine's Wine runs:
#                                 BUILD_ROOT/windows, or BUILD_ROOT/windows64 where no 32-bit code runs
#
# The installer ships as a 32-bit program, and a 32-bit prefix runs it. Some kernels run no 32-bit
# code at all (the 32-bit loader fails with "Exec format error"): there the prefix is a 64-bit one,
# `wine` means Wine's 64-bit loader, and the tests run the same sources built as 64-bit programs
# (the windows64 preset).

wine_runs_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1 </dev/null
}

wine_tree() {
  if wine_runs_32bit; then echo "$1/windows"; else echo "$1/windows64"; fi
}

# Sets up the environment for Wine in PREFIX, for the architecture this machine runs; a prefix
# made for the other architecture cannot run this one's programs, and is made anew.
wine_use_prefix() {
  export WINEPREFIX="$1" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if ! wine_runs_32bit; then
    # Debian's `wine` script takes the 32-bit loader whenever it is installed; here it cannot run.
    export WINEARCH=win64 WINELOADER=/usr/lib/wine/wine64
    WINE_SHIM_DIR="$WINEPREFIX-bin"
    mkdir -p "$WINE_SHIM_DIR"
    for name in wine wine-stable; do
      printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$WINE_SHIM_DIR/$name"
      chmod +x "$WINE_SHIM_DIR/$name"
    done
    export PATH="$WINE_SHIM_DIR:$PATH"
  fi
  if [ -f "$WINEPREFIX/system.reg" ] && ! grep -q "^#arch=$WINEARCH" "$WINEPREFIX/system.reg"; then
    rm -rf "$WINEPREFIX"
  fi
}

wine_start() {
  wine_use_prefix "$1"
  local visible="${2:-}"
  if [ "$visible" != visible ] || [ -z "${DISPLAY:-}" ]; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    WINE_XVFB_PID=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
  fi
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 </dev/null || true
    # The server wineboot started ends on its own a few seconds later; a persistent one follows.
    wineserver -w >/dev/null 2>&1 </dev/null || true
  fi
  # Kept up between programs, so that each starts in well under a second.
  wineserver -p >/dev/null 2>&1 </dev/null || true
  if [ -n "${WINE_XVFB_PID:-}" ]; then
    # Without a window manager on the display, a managed window that hides waits two seconds for
    # a manager that never answers.
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null || true
  fi
  # Let the prefix's services settle before the first program runs.
  wine cmd /c exit >/dev/null 2>&1 </dev/null || true
}

wine_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${WINE_XVFB_PID:-}" ]; then kill "$WINE_XVFB_PID" 2>/dev/null || true; fi
}
