#!/usr/bin/env bash
# Starts the staged program and ends it with SIGTERM at a random moment, RUNS times (50 by
# default), each run one of: early (before or while it connects), at any moment of the camera's
# quiet and alarm stretches (alarm snapshots and an alarm recording being written), during a
# manual recording (Record clicked with xdotool), with the alarm viewer open (an alarm item
# clicked with xdotool). A run fails when the program does not end with status 0 within a second
# of the signal (three while a recording is being finished; a signal that comes before the
# program's main has begun meets only the kernel's default action, which is reported, not
# failed), or leaves a file that is not
# finished or not in its folder: every recording must decode with ffprobe (PVF after pvf-tool
# to-mp4), every snapshot pass pngcheck, an alarm recording (its MP4 comment says so) lie only in
# AlarmRecords/ and a manual one only in Records/, nothing new anywhere else but alarm snapshots
# in AlarmImages/, kvs.ini, the MQTT outbox and QZLog/. Station events are on, to a broker whose
# host drops every connection attempt (a listener with a full accept queue), so the end always
# meets a connection hanging in the network. Every run is made; the summary names the failed
# ones and the slowest ends.
#
#   scripts/sigterm-stress.sh STAGE_DIR [RUNS]
#
# STRESS_SEED repeats the choices of runs and moments (printed first; the program's own timing
# still varies). Half the runs record PVF. A private copy of the application folder, its own
# XDG_RUNTIME_DIR and its own Xvfb; the camera is tests/client/app/quiet-and-alarm.json.
set -euo pipefail

stage=$(cd "$1" && pwd)
runs=${2:-50}
seed=${STRESS_SEED:-$((RANDOM * 32768 + RANDOM))}
RANDOM=$seed
scenario=$(cd "$(dirname "$0")/.." && pwd)/tests/client/app/quiet-and-alarm.json
quiet_limit_ms=1000
recording_limit_ms=3000

for tool in Xvfb xdotool xwininfo ffprobe pngcheck python3; do
    command -v "$tool" >/dev/null || { echo "FAILED: $tool is not installed (make deps)"; exit 1; }
done

work=$(mktemp -d)
xvfb=
pid=
dropping=
cleanup() {
    [[ -n "$pid" ]] && kill -KILL "$pid" 2>/dev/null
    [[ -n "$xvfb" ]] && kill "$xvfb" 2>/dev/null
    [[ -n "$dropping" ]] && kill "$dropping" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

app="$work/app"
cp -a "$stage" "$app"
(cd "$app" && find . -mindepth 1 -printf '%P\n' | sort) >"$work/staged"
mkdir -m 700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime" FRAMEGATE_VIRTUAL_CAMERA="$work/camera.json"
cp "$scenario" "$FRAMEGATE_VIRTUAL_CAMERA"

Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp -noreset 3>"$work/display" \
    2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
    [[ -s "$work/display" ]] && break
    sleep 0.1
done
[[ -s "$work/display" ]] || { echo "FAILED: Xvfb did not start"; cat "$work/xvfb.log"; exit 1; }
export DISPLAY=":$(cat "$work/display")" QT_QPA_PLATFORM=xcb

# The unreachable broker: a listener whose accept queue is full, so that SYNs are dropped.
python3 -c '
import socket, sys, time
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen(0)
port = listener.getsockname()[1]
fillers = [socket.socket() for _ in range(3)]
for filler in fillers:
    filler.setblocking(False)
    filler.connect_ex(("127.0.0.1", port))
print(port, flush=True)
time.sleep(1e9)
' >"$work/broker-port" &
dropping=$!
for _ in $(seq 50); do
    [[ -s "$work/broker-port" ]] && break
    sleep 0.1
done
broker_port=$(cat "$work/broker-port")

now_ms() { echo $((${EPOCHREALTIME/./} / 1000)); }
# Read without a fork, so that the end is seen within a few milliseconds even on a loaded machine.
alive() {
    local state
    read -r _ _ state _ 2>/dev/null <"/proc/$pid/stat" && [[ "$state" != Z ]]
}
# A random whole number from $1 to $2.
between() { echo $(($1 + RANDOM % ($2 - $1 + 1))); }
sleep_ms() { sleep "$(awk -v ms="$1" 'BEGIN { printf "%.3f", ms / 1000 }')"; }
# Waits up to $2 tenths of a second for command $1 to succeed while the program runs.
wait_for() {
    for _ in $(seq "$2"); do
        eval "$1" && return 0
        alive || return 1
        sleep 0.1
    done
    return 1
}

problems=()
problem() { problems+=("run $run ($kind): $*"); echo "  FAILED: $*"; }

# The storage folders' files after a run: finished, and each in its place.
check_files() {
    local file relative frames output comment
    while IFS= read -r relative; do
        file="$app/$relative"
        case $relative in
            kvs.ini | mqtt-outbox.jsonl | mqtt-outbox.ack | QZLog/*) ;;
            AlarmImages/Alarm_*.png | Snapshot/*.png)
                output=$(pngcheck -q "$file" 2>&1) || problem "$relative: $output" ;;
            AlarmImages/AlarmLog_*.csv)
                # Its header, then whole lines only: each episode is one write.
                head -c 18 "$file" | grep -q '^first_camera_time,' &&
                    [[ "$(tail -c 2 "$file" | od -An -c | tr -d ' ')" == '\r\n' ]] ||
                    problem "$relative is not whole lines under its header" ;;
            AlarmRecords/*.mp4 | Records/*.mp4 | AlarmRecords/*.pvf | Records/*.pvf)
                if [[ "$file" == *.pvf ]]; then
                    output=$("$app/pvf-tool" to-mp4 "$file" "$work/converted.mp4" 2>&1) ||
                        { problem "$relative: $output"; continue; }
                    file="$work/converted.mp4"
                fi
                output=$(ffprobe -v error -select_streams v:0 -count_frames -show_entries \
                    stream=nb_read_frames:format_tags=comment -of default=noprint_wrappers=1 \
                    "$file" 2>&1 || true)
                rm -f "$work/converted.mp4"
                frames=$(sed -n 's/^nb_read_frames=//p' <<<"$output")
                [[ "$frames" =~ ^[0-9]+$ && "$frames" -gt 0 ]] ||
                    { problem "$relative does not decode: $output"; continue; }
                # An alarm recording's MP4 says what raised it; a manual one says nothing.
                if [[ "$relative" == *.mp4 ]]; then
                    comment=$(sed -n 's/^TAG:comment=//p' <<<"$output")
                    [[ ("$relative" == AlarmRecords/* && "$comment" == "Alarm at "*) ||
                        ("$relative" == Records/* && "$comment" != "Alarm at "*) ]] ||
                        problem "$relative in the wrong folder (comment '$comment')"
                fi ;;
            *) problem "unexpected $relative" ;;
        esac
    done < <(cd "$app" && find . -mindepth 1 -type f -printf '%P\n' | sort | comm -13 "$work/staged" -)
}

# The main window's point ($2, $3) clicked, in window coordinates.
click_at() {
    xdotool mousemove --window "$1" "$2" "$3" click 1
}

echo "SIGTERM stress: $runs runs of $stage, seed $seed (STRESS_SEED=$seed repeats the choices)"
worst_quiet=0
worst_recording=0
for ((run = 1; run <= runs; ++run)); do
    find "$app/AlarmImages" "$app/AlarmRecords" "$app/Records" "$app/Snapshot" -mindepth 1 -delete
    record_type=$((RANDOM % 2))
    printf '[Video]\nRecordType=%d\n[Mqtt]\nEnabled=true\nHost=127.0.0.1\nPort=%d\n' \
        "$record_type" "$broker_port" >"$app/kvs.ini"
    kinds=(early moment moment record viewer)
    kind=${kinds[RANDOM % ${#kinds[@]}]}
    log="$work/run-$run.log"
    # Its single-instance lock, the first thing it makes, tells that its main has begun.
    rm -f "$XDG_RUNTIME_DIR/Calorview"
    "$(dirname "$0")/run-staged.sh" "$app" >"$log" 2>&1 &
    pid=$!  # run-staged.sh ends by exec'ing the program: this is its process
    started=true
    if [[ $kind == early ]]; then
        sleep_ms "$(between 0 1500)"
    else
        window=
        wait_for 'window=$(xdotool search --onlyvisible --name "^Calorview\$" 2>/dev/null | head -n 1); [[ -n "$window" ]]' 300 &&
            wait_for 'grep -q "ConnectToDev Success" "$log"' 300 || started=false
        case $kind in
            moment) sleep_ms "$(between 0 10000)" ;;
            record)
                # "Record" under the picture of the 1280 x 720 window: live page from y 50.
                sleep_ms "$(between 0 3000)"
                click_at "$window" 180 688
                sleep_ms "$(between 200 4000)" ;;
            viewer)
                # The newest alarm item tops the list column, 276 pixels from the right.
                wait_for 'compgen -G "$app/AlarmImages/*.png" >/dev/null' 150 || started=false
                sleep_ms "$(between 300 2500)"
                click_at "$window" 1142 120
                wait_for 'xwininfo -root -children | grep -q " 480x680+"' 30 ||
                    problem "no viewer opened"
                sleep_ms "$(between 0 2000)" ;;
        esac
    fi
    alive || { problem "the program ended by itself"; started=false; }
    $started || problem "no window or camera within 30 s"
    # A recording is being written when the program holds a file of those folders open.
    recording=false
    if find "/proc/$pid/fd" -mindepth 1 -printf '%l\n' 2>/dev/null | grep -q "^$app/\(Alarm\)\?Records/"; then
        recording=true
    fi
    before_main=true
    [[ -e "$XDG_RUNTIME_DIR/Calorview" ]] && before_main=false
    signalled=$(now_ms)
    kill -TERM "$pid" 2>/dev/null || true
    while alive && (($(now_ms) - signalled < 10000)); do
        sleep 0.005
    done
    ended_ms=$(($(now_ms) - signalled))
    status=0
    if alive; then
        problem "still running 10 s after SIGTERM"
        kill -KILL "$pid"
        wait "$pid" 2>/dev/null || status=$?
    else
        wait "$pid" || status=$?
        if ((status == 128 + 15)) && $before_main; then
            kind="$kind, before main"  # only the kernel's default action exists then
        elif ((status == 128 + 15)); then
            problem "ended by the signal itself (status $status): no handler for it yet"
        elif ((status != 0)); then
            problem "ended with status $status"
        fi
        if $recording; then
            limit=$recording_limit_ms
            ((ended_ms > worst_recording)) && worst_recording=$ended_ms
        else
            limit=$quiet_limit_ms
            ((ended_ms > worst_quiet)) && worst_quiet=$ended_ms
        fi
        ((ended_ms <= limit)) || problem "ended ${ended_ms} ms after SIGTERM (limit $limit ms)"
    fi
    pid=
    check_files
    printf 'run %2d: %-6s %s, %-17s ended %4d ms after SIGTERM, status %d\n' "$run" "$kind" \
        "$([[ $record_type == 1 ]] && echo PVF || echo MP4)" \
        "$($recording && echo "recording open," || echo "no recording open,")" "$ended_ms" "$status"
    if ((${#problems[@]} > 0)) && [[ "${problems[-1]}" == "run $run "* ]]; then
        echo "  --- last lines of its output:"
        tail -n 15 "$log" | sed 's/^/  /'
    fi
done

echo "Slowest end: ${worst_quiet} ms without a recording, ${worst_recording} ms while one was being finished"
if ((${#problems[@]} > 0)); then
    printf 'FAILED (seed %s):\n' "$seed"
    printf '  %s\n' "${problems[@]}"
    exit 1
fi
echo "SIGTERM stress passed."
