# Wine in a private prefix with a display of its own; sourced by scripts/test and scripts/demo.
#   wine_start PREFIX [visible]   creates the prefix once, starts Xvfb (unless `visible` and a
#                                 $DISPLAY exists) and a persistent wineserver
#   wine_stop                     ends both
#   wine_use_prefix PREFIX        only the environment for Wine in PREFIX (no display, no server)
# Wine's daemons inherit the standard streams of whoever starts them: they are started with
# their output sent to /dev/null so that no pipe waits for them.

#   wine_isolated [--net] COMMAND...
#                                 runs COMMAND in a user and mount namespace of its own (and a
#                                 network namespace with only loopback, with --net) in which
#                                 32-bit programs run: natively where the machine runs them,
#                                 under qemu's i386 emulator where it does not
#   wine_session [--net] PREFIX COMMAND...
#                                 COMMAND inside wine_isolated, with Wine started in PREFIX
#                                 (wine_start) and stopped after it
#   wine_runs_32bit               true where 32-bit programs run: natively, or under the emulation
#                                 inside wine_isolated
#   wine_i386_emulation           prints how wine_isolated runs 32-bit code on this machine:
#                                 "native" or "emulated (qemu-i386 VERSION)"
#
# The installer ships as a 32-bit program, and users run it on 64-bit Windows, under WoW64. So the
# prefix is a 64-bit one (System32 holds 64-bit DLLs, SysWOW64 the 32-bit ones, HKLM\Software has
# a 32-bit view), and the 32-bit programs run in it as Wine's WoW64 runs them: `wine` is Wine's
# 64-bit loader, which hands a 32-bit program to the 32-bit loader in a process of its own.
# Some kernels run no 32-bit code at all (the 32-bit loader fails with "Exec format error"):
# there only those 32-bit processes are emulated; the wineserver and Wine's 64-bit programs (reg,
# cmd, services) run natively. Every Wine process of a prefix, its wineserver first, must start
# inside the same namespace, and the prefix must be made there too: one made where no 32-bit code
# runs has no 32-bit half.

# Debian 12's own qemu-user (7.2) ignores the address space that Wine reserves (each process then
# takes about a minute to start); the one from bookworm-backports (10) runs Wine.
WINE_I386_EMULATOR=/usr/libexec/qemu-binfmt/i386-binfmt-P
# This folder (for wine_isolated and wine_session: sourced from bash, or with WINE_LIB set).
WINE_LIB=${WINE_LIB:-$(cd "$(dirname "${BASH_SOURCE:-.}")" && pwd)}

wine_runs_32bit() {
  /usr/lib/wine/wine --version >/dev/null 2>&1 </dev/null
}

wine_i386_emulation() {
  if wine_runs_32bit; then
    echo native
  else
    echo "emulated ($(qemu-i386 --version 2>/dev/null | sed -n '1s/.*version \([^ ]*\).*/qemu-i386 \1/p'))"
  fi
}

wine_isolated() {
  local net= emulator= gate pid own code
  if [ "${1:-}" = --net ]; then net=--net; shift; fi
  wine_runs_32bit || emulator=$WINE_I386_EMULATOR
  # The namespace maps the machine's first 65536 users and groups as they are, not only root, so
  # that servers which switch to users of their own (squid's proxy, nginx's nobody) can. Only a
  # process outside may write such a map: the command waits at a gate until it is written.
  gate=$(mktemp -u)
  mkfifo "$gate"
  PELLMORROW_ISOLATED_NET=$net PELLMORROW_I386_EMULATOR=$emulator \
    unshare --user --mount $net sh -c 'read -r go <"$0" && rm -f "$0" && exec "$@"' \
    "$gate" "$WINE_LIB/isolated" "$@" <&0 &
  pid=$!
  own=$(readlink /proc/self/ns/user)
  while kill -0 "$pid" 2>/dev/null && [ "$(readlink "/proc/$pid/ns/user")" = "$own" ]; do sleep 0.01; done
  echo "0 0 65536" >"/proc/$pid/uid_map" && echo "0 0 65536" >"/proc/$pid/gid_map" && echo go >"$gate"
  wait "$pid"
  code=$?
  rm -f "$gate"
  return $code
}

wine_session() {
  local net=
  if [ "${1:-}" = --net ]; then net=--net; shift; fi
  wine_isolated $net bash -c '. "$0/wine.sh" && trap wine_stop EXIT && wine_start "$1" && shift && "$@"' \
    "$WINE_LIB" "$@"
}

# Sets up the environment for Wine in PREFIX; a prefix made for another architecture, or one made
# where 32-bit code could not run (no 32-bit half), is made anew.
wine_use_prefix() {
  export WINEPREFIX="$1" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Debian's `wine` script takes the 32-bit loader whenever it is installed, which would start
  # every 64-bit tool (reg, cmd) through the 32-bit one, emulated where 32-bit code does not run.
  export WINELOADER=/usr/lib/wine/wine64
  WINE_SHIM_DIR="$WINEPREFIX-bin"
  mkdir -p "$WINE_SHIM_DIR"
  for name in wine wine-stable; do
    printf '#!/bin/sh\nexec /usr/lib/wine/wine64 "$@"\n' >"$WINE_SHIM_DIR/$name"
    chmod +x "$WINE_SHIM_DIR/$name"
  done
  case ":$PATH:" in *":$WINE_SHIM_DIR:"*) ;; *) export PATH="$WINE_SHIM_DIR:$PATH" ;; esac
  if [ -f "$WINEPREFIX/system.reg" ] && { ! grep -q "^#arch=$WINEARCH" "$WINEPREFIX/system.reg" ||
    { [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ] && wine_runs_32bit; }; }; then
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
