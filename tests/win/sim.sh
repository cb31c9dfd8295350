#!/bin/sh
# Starts or stops a simulated converter serving the pseudo-terminal that a Wine COM port
# leads to (the CTest fixtures of the Windows tests).
#   sim.sh start <converter-sim> <link> [converter-sim options...]
#   sim.sh stop <link>
# The simulator's pid, stdout and stderr are kept beside the link.
set -eu

# True while the process runs (an ended one that nobody has reaped yet counts as ended).
running() {
  kill -0 "$1" 2>/dev/null && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat" 2>/dev/null
}

command=$1
shift

case $command in
start)
  sim=$1 link=$2
  shift 2
  rm -f "$link.out" "$link.pid"
  # A flash file from an earlier run must not pass for this one's.
  previous=""
  for option in "$@"; do
    [ "$previous" = "--flash-out" ] && rm -f "$option"
    previous=$option
  done
  "$sim" --link "$link" "$@" >"$link.out" 2>"$link.err" </dev/null &
  echo $! >"$link.pid"
  # Ready when the simulator names its terminal; it has made the link by then.
  tries=0
  until grep -q '^PTY ' "$link.out" 2>/dev/null; do
    if ! running "$(cat "$link.pid")" || [ $tries -ge 400 ]; then
      echo "sim.sh: converter-sim did not start" >&2
      cat "$link.err" >&2
      exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
  done
  cat "$link.out"
  ;;
stop)
  link=$1
  pid=$(cat "$link.pid")
  kill "$pid"
  # The simulator writes its flash file on the way out; wait for it to end.
  tries=0
  while running "$pid"; do
    if [ $tries -ge 200 ]; then
      echo "sim.sh: converter-sim $pid did not end" >&2
      exit 1
    fi
    tries=$((tries + 1))
    sleep 0.05
  done
  rm -f "$link.pid"
  cat "$link.err" >&2
  ;;
esac
