#!/bin/sh
# Runs a program and checks how it ended and what it printed (stdout and stderr together,
# carriage returns dropped, as a Windows program writes "\r\n").
#   expect.sh CODE [LINE...] -- PROGRAM [ARGS...]
# Passes when the program ends with CODE and every LINE is one whole line of its output.
code=$1
shift
lines=""
while [ "$1" != "--" ]; do
  lines="$lines$1
"
  shift
done
shift

out=$("$@" 2>&1)
rc=$?
out=$(printf '%s\n' "$out" | tr -d '\r')
printf '%s\n' "$out"

status=0
if [ "$rc" -ne "$code" ]; then
  echo "expect.sh: ended with $rc, expected $code" >&2
  status=1
fi
printf '%s' "$lines" | while IFS= read -r line; do
  if ! printf '%s\n' "$out" | grep -qxF -- "$line"; then
    echo "expect.sh: no line \"$line\"" >&2
    exit 1
  fi
done || status=1
exit $status
