#!/usr/bin/env bash
# The alarm heard for real: PLAYER plays the failure sound through libcanberra into a
# PulseAudio server of the test's own, whose only sink is a null sink that the test records.
# It passes when the recording holds a sample louder than 1000 (of 32767), and when nothing
# plays the recording is silent. The sink takes no rewinds: it renders ahead, and what a new
# stream replaced in a rewind would never reach its monitor. Skips (exit 77) without pulseaudio, parec or the sound theme.
#   alarm_sound.sh PLAYER
set -u
player=$1
for tool in pulseaudio parec; do
  command -v "$tool" >/dev/null || { echo "no $tool"; exit 77; }
done
[ -f /usr/share/sounds/freedesktop/stereo/network-connectivity-lost.oga ] || { echo "no sound theme"; exit 77; }
runtime=$(mktemp -d)
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$runtime
pulseaudio -n --daemonize=no --exit-idle-time=-1 --disallow-exit \
  -L "module-null-sink sink_name=vardex norewinds=1" \
  -L "module-native-protocol-unix auth-anonymous=1 socket=$runtime/pulse.sock" >"$runtime/server.log" 2>&1 &
server=$!
for _ in $(seq 1 100); do
  [ -S "$runtime/pulse.sock" ] && break
  sleep 0.05
done
[ -S "$runtime/pulse.sock" ] || { cat "$runtime/server.log"; echo "the sound server did not start"; exit 1; }
export PULSE_SERVER=unix:$runtime/pulse.sock

# The loudest sample recorded while COMMAND runs.
loudest() {
  timeout 4 parec -d vardex.monitor --raw --format=s16le --rate=44100 --channels=2 >"$runtime/rec.raw" &
  local recorder=$!
  sleep 0.3
  "$@"
  wait "$recorder"
  od -An -v -t d2 -w2 "$runtime/rec.raw" | awk '{ v = $1 < 0 ? -$1 : $1; if (v > m) m = v } END { print m + 0 }'
}
quiet=$(loudest sleep 2.5)
heard=$(loudest "$player")
echo "silence: $quiet, the failure sound: $heard"
[ "$quiet" -eq 0 ] && [ "$heard" -gt 1000 ]
