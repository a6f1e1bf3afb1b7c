#!/usr/bin/env bash
# What the Wine test scripts share, sourced by windows-tests.sh and
# windows-gui-tests.sh: the prefix and log of a Windows build folder, Wine
# calls with a time limit, and the clean-up of what a script started.
# The script sets WINE_TIMEOUT and say() before calling these.

# wine_use WINBUILD: the prefix inside that build folder, its log emptied.
wine_use() {
  export WINEPREFIX="$1/wineprefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="   # no Mono or Gecko prompts
  LOG="$1/wine.log"
  : >"$LOG"
}

# Every Wine call gets a time limit and its output goes to the log: the Wine
# services it starts inherit its output and would keep a pipe open.
wine_run() { timeout "$WINE_TIMEOUT" wine "$@" >>"$LOG" 2>&1; }
reg_add() { wine_run reg add "$@" /f; }
reg_delete() { wine_run reg delete "$@" /f || true; }

# Stops the Wine server and waits for it, so that the next call starts one
# that reads the registry afresh.
wine_restart() {
  timeout 30 wineserver -k >/dev/null 2>&1 || true
  timeout 30 wineserver -w >/dev/null 2>&1 || true
}

# wine_port_listed PORT TARGET SCRATCH: waits until Wine lists PORT in
# SERIALCOMM (its mount manager does so when its services start, and the key
# lives only as long as the server); ends the script when it never does.
# The query goes to the file SCRATCH, not a pipe: the services it may start
# would hold a pipe open.
wine_port_listed() {
  local _
  for _ in $(seq 50); do
    timeout "$WINE_TIMEOUT" wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' >"$3" 2>>"$LOG" || true
    tr -d '\r' <"$3" | grep -qE "REG_SZ +$1\$" && return 0
    sleep 0.1
  done
  say "Wine does not list $1 (the bus at $2) in SERIALCOMM"
  exit 1
}

PIDS=()   # what the script started: buses, the X server, programs
wine_cleanup() {
  set +e
  for pid in "${PIDS[@]}"; do
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  timeout 30 wineserver -k >/dev/null 2>&1
}

# A server left over by an interrupted run would still hold the old state;
# a new build folder gets its prefix (no display needed for that).
wine_prefix_ready() {
  wine_restart
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    say "making the Wine prefix"
    (unset DISPLAY; timeout 300 wineboot -i >>"$LOG" 2>&1; timeout 120 wineserver -w)
  fi
}
