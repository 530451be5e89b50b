#!/usr/bin/env bash
# Measures the MQTT event publisher of the staged program on this machine (docs/events.md):
#  1. latency: alarm episodes every 5.6 s for SECONDS; for each alarm/start, the time from its
#     first alarm frame (the payload's "time") to its receipt by mosquitto_sub (p50, p99, max);
#  2. cost: a continuous alarm for SECONDS with Mqtt/Enabled on and off: the whole program's
#     CPU time and resident memory, and the CPU time of libmosquitto's network thread.
# Usage: bench/events/measure.sh [stage folder] [seconds]
set -euo pipefail
stage=$(realpath "${1:-build/stage}")
seconds=${2:-120}
work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$port" "$(id -un)" > "$work/mosquitto.conf"
/usr/sbin/mosquitto -c "$work/mosquitto.conf" > "$work/mosquitto.log" 2>&1 &
pids+=($!)
sleep 0.5

# run NAME SCENARIO MQTT(true|false): the program for $seconds; prints CPU and memory.
run() {
    local name=$1 scenario=$2 mqtt=$3
    rm -rf "$work/app" && cp -r "$stage" "$work/app"
    printf '[Alarm]\nAlarmSoundEnabled=false\nAlarmRecordEnabled=false\n[Mqtt]\nEnabled=%s\nHost=127.0.0.1\nPort=%s\nStation=measure\n' \
        "$mqtt" "$port" > "$work/app/kvs.ini"
    printf '%s' "$scenario" > "$work/camera.json"
    (cd "$work/app" && exec env QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$work" \
        FRAMEGATE_VIRTUAL_CAMERA="$work/camera.json" ./calorview > "$work/$name.log" 2>&1) &
    local pid=$!
    pids+=("$pid")
    sleep "$seconds"
    local total network=0 rss
    total=$(awk '{print $14 + $15}' "/proc/$pid/stat")
    for task in /proc/$pid/task/*; do
        if [[ $(cat "$task/comm") == "Mqtt" ]]; then
            network=$(awk '{print $14 + $15}' "$task/stat")
        fi
    done
    rss=$(awk '/VmRSS/ {print $2}' "/proc/$pid/status")
    kill -TERM "$pid"
    wait "$pid" || true
    awk -v name="$name" -v total="$total" -v network="$network" -v hz="$(getconf CLK_TCK)" \
        -v seconds="$seconds" -v rss="$rss" 'BEGIN {
            printf "%s: CPU %.2f s in %d s, network thread %.2f s, RSS %.1f MiB\n",
                   name, total / hz, seconds, network / hz, rss / 1024 }'
}

episodes='{"fps": 25, "loop_ms": 5600, "timeline": [
  {"at_ms": 0, "time": "local", "unit": "C", "alarm": true, "temperature": 38.5},
  {"at_ms": 300, "alarm": false, "temperature": 0}]}'
continuous='{"fps": 25, "timeline": [{"at_ms": 0, "time": "local", "unit": "C", "alarm": true, "temperature": 38.5}]}'

mosquitto_sub -h 127.0.0.1 -p "$port" -t 'calorview/+/alarm/start' -F '%U %p' > "$work/received" &
pids+=($!)
run latency "$episodes" true
python3 - "$work/received" <<'PY'
import json, sys
from datetime import datetime
delays = []
for line in open(sys.argv[1]):
    received, payload = line.split(' ', 1)
    sent = datetime.fromisoformat(json.loads(payload)['time'].replace('Z', '+00:00')).timestamp()
    delays.append(float(received) - sent)
delays.sort()
pick = lambda q: delays[min(len(delays) - 1, int(q * len(delays)))]
print(f"latency over {len(delays)} episodes: p50 {pick(0.5):.3f} s, p99 {pick(0.99):.3f} s, "
      f"max {delays[-1]:.3f} s")
PY
run continuous-mqtt-on "$continuous" true
run continuous-mqtt-off "$continuous" false
