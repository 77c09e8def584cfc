#!/bin/sh
# Starts a private PulseAudio server for the sound tests and returns once it
# takes connections.
#   start_server.sh DIR
# Everything lives in DIR (made afresh): the runtime directory with the socket
# DIR/run/native, a home of its own, the client configuration DIR/client.conf
# (no autospawn), the server's log and its process id in DIR/pid. The default
# sink "cwnull" is a null sink of signed 16-bit mono at 48000 Hz, so that a
# stream of that format reaches its monitor unconverted. The server never
# exits by itself; stop_server.sh ends it. It runs as root as well (it only
# warns), without realtime scheduling, shared memory or D-Bus.
set -eu
dir=$1
# A server left behind by an interrupted run is ended first (only if the
# recorded process is still a PulseAudio server).
if [ -f "$dir/pid" ]; then
  old=$(cat "$dir/pid")
  if [ "$(cat "/proc/$old/comm" 2>/dev/null)" = pulseaudio ]; then
    kill "$old" 2>/dev/null || true
  fi
fi
rm -rf "$dir"
mkdir -p "$dir/run" "$dir/home" "$dir/state" "$dir/config"
chmod 700 "$dir" "$dir/run"

cat > "$dir/server.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/run/native
load-module module-null-sink sink_name=cwnull rate=48000 channels=1 format=s16le
set-default-sink cwnull
PA
echo "autospawn = no" > "$dir/client.conf"

# The server's output goes to its log, never to the pipes of the test runner,
# which would otherwise wait for the server to end.
HOME="$dir/home" XDG_RUNTIME_DIR="$dir/run" PULSE_RUNTIME_PATH="$dir/run" \
PULSE_STATE_PATH="$dir/state" PULSE_CONFIG_PATH="$dir/config" \
PULSE_CLIENTCONFIG="$dir/client.conf" \
  pulseaudio --daemonize=no --exit-idle-time=-1 --disable-shm -n -F "$dir/server.pa" \
    --use-pid-file=no --realtime=no --high-priority=no --log-target=stderr \
    </dev/null >"$dir/server.log" 2>&1 &
echo $! > "$dir/pid"

# Up to 10 s for the socket to answer.
tries=0
while [ $tries -lt 100 ]; do
  if PULSE_SERVER="unix:$dir/run/native" PULSE_CLIENTCONFIG="$dir/client.conf" HOME="$dir/home" \
       pactl info >/dev/null 2>&1; then
    exit 0
  fi
  if ! kill -0 "$(cat "$dir/pid")" 2>/dev/null; then
    break
  fi
  sleep 0.1
  tries=$((tries + 1))
done
echo "PulseAudio did not start:" >&2
cat "$dir/server.log" >&2
kill "$(cat "$dir/pid")" 2>/dev/null || true
exit 1
