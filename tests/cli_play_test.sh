#!/bin/sh
# clangwright-render --play against the private test server, and without one.
#   cli_play_test.sh RENDERER PULSE_DIR SCRATCH
set -eu
renderer=$1 pulse=$2 scratch=$3
rm -rf "$scratch" && mkdir -p "$scratch"
export HOME="$pulse/home" PULSE_CLIENTCONFIG="$pulse/client.conf"
fail() { echo "FAIL: $*" >&2; exit 1; }

# Plays one second and returns only once the server has played it out: the
# server would take the whole second into its buffer at once, so returning
# much earlier means the tail was cut off.
start=$(date +%s%N)
PULSE_SERVER="unix:$pulse/run/native" "$renderer" --play -q --length 1.0 \
  -o "$scratch/played.wav" 2>"$scratch/err" || fail "play exited $? ($(cat "$scratch/err"))"
elapsed_ms=$(( ($(date +%s%N) - start) / 1000000 ))
[ "$elapsed_ms" -ge 900 ] || fail "returned after $elapsed_ms ms, before the sound was played out"
[ -s "$scratch/played.wav" ] || fail "-o with --play wrote no file"
echo "played 1.0 s in $elapsed_ms ms"

# --play alone needs no output file.
PULSE_SERVER="unix:$pulse/run/native" "$renderer" --play -q --length 0.1 --shape rod \
  || fail "--play without -o exited $?"

# No server: the driver's error on stderr and status 1.
status=0
PULSE_SERVER="unix:$scratch/no-such-socket" "$renderer" --play -q --length 0.1 \
  2>"$scratch/err" || status=$?
[ "$status" -eq 1 ] || fail "no server: exit status $status, not 1"
grep -q "Sound driver error:" "$scratch/err" || fail "no server: no driver error on stderr"
grep -q "Sorry, no diagnostics is available in Pulseaudio driver" "$scratch/err" \
  || fail "no server: the driver's text is missing"
echo "no server: refused with status 1"
rm -rf "$scratch"
