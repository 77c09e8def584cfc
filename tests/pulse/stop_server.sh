#!/bin/sh
# Ends the server that start_server.sh started in DIR and removes DIR.
#   stop_server.sh DIR
set -u
dir=$1
if [ -f "$dir/pid" ]; then
  pid=$(cat "$dir/pid")
  kill "$pid" 2>/dev/null
  # Up to 5 s for an orderly end, then no more waiting.
  tries=0
  while kill -0 "$pid" 2>/dev/null && [ $tries -lt 50 ]; do
    sleep 0.1
    tries=$((tries + 1))
  done
  kill -9 "$pid" 2>/dev/null
fi
rm -rf "$dir"
exit 0
