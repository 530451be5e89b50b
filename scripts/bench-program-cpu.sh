#!/usr/bin/env bash
# Reports the CPU time of the whole program showing the demo camera (480 x 640 UYVY, 25 fps) in
# a full-screen 1600 x 900 window under its own Xvfb, next to ffplay showing frames of the same
# format at the same rate in an area of the same size, and Xvfb's own time meanwhile: the X
# server's drawing is not part of either figure.
#
#   scripts/bench-program-cpu.sh STAGE_DIR [SECONDS] [WARMUP_SECONDS]
#
# SECONDS (default 60) is the measured interval, after WARMUP_SECONDS (default 10). A report, not a gate:
# exits 0 whatever the figures, non-zero only when a program dies or never shows its window.
# The figure for one process is its user + system time (all threads) over the interval. The
# demo loops every 20 s, 6 s of it an alarm episode, during which the program stores an alarm
# picture for nearly every frame and records: intervals that are multiples of 20 s hold the same
# share of it. A second run shows a camera with every scenario default, which raises no alarm:
# the live path alone. A third run shows a camera that raises an alarm on every frame, with every
# alarm action on (snapshot, recording, sound: the settings' defaults), beside the quiet one: the
# alarm path at full rate, its figure also given as a multiple of the quiet one.
set -euo pipefail

stage=$(cd "$1" && pwd)
seconds=${2:-60}
warmup_seconds=${3:-10}
screen_width=1600
screen_height=900
# Calorview's video area in a full-screen window: the window less the title band (50) above,
# and on the live page the alarm list column (276) to the right and the button band (60) below.
video_width=$((screen_width - 276))
video_height=$((screen_height - 50 - 60))

for tool in Xvfb xdotool xwininfo xdpyinfo ffmpeg ffplay; do
    command -v "$tool" >/dev/null || { echo "FAILED: $tool is not installed (make deps)"; exit 1; }
done
[[ -x "$stage/calorview" ]] || { echo "FAILED: no program at $stage/calorview"; exit 1; }

work=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $1"
    [[ -n "${2:-}" && -s "$2" ]] && { echo "--- last lines of its output:"; tail -n 20 "$2"; }
    exit 1
}
alive() { [[ -r /proc/$1/stat ]] && ! grep -q '^State:.*zombie' "/proc/$1/status" 2>/dev/null; }
# utime and stime (fields 14 and 15), counted after the command name, which may hold spaces.
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12, $13 }'; }
clock_ticks=$(getconf CLK_TCK)

# The first display from :40 without a server; another run may take the same number at the same
# moment, in which case this Xvfb ends at once and the next number is tried. Without -noreset
# the server resets when its last client leaves, and ffplay, starting as Calorview ends, would
# find no display.
display=
for ((number = 40; number < 100; ++number)); do
    [[ -e /tmp/.X$number-lock || -e /tmp/.X11-unix/X$number ]] && continue
    Xvfb ":$number" -screen 0 "${screen_width}x${screen_height}x24" -nolisten tcp -noreset \
        2>"$work/xvfb.log" &
    xvfb=$!
    pids+=("$xvfb")
    for _ in $(seq 50); do
        alive "$xvfb" || break
        xdpyinfo -display ":$number" >/dev/null 2>&1 && { display=":$number"; break; }
        sleep 0.1
    done
    [[ -n "$display" ]] && break
done
[[ -n "$display" ]] || fail "no Xvfb could be started" "$work/xvfb.log"
export DISPLAY=$display

# The first visible window whose title is exactly $1, waited for up to 30 s while process $2 lives.
find_window() {
    local window
    for _ in $(seq 300); do
        window=$(xdotool search --onlyvisible --name "^$1\$" 2>/dev/null | head -n 1 || true)
        [[ -n "$window" ]] && { echo "$window"; return 0; }
        alive "$2" || return 1
        sleep 0.1
    done
    return 1
}
no_window() {
    if alive "$2"; then
        fail "$1 showed no window within 30 s" "$3"
    fi
    fail "$1 ended before it showed a window" "$3"
}
window_size() { xwininfo -id "$1" | awk '/Width:/ { w = $2 } /Height:/ { h = $2 } END { print w "x" h }'; }

# Prints "LABEL: X.X % of one core over N s (user U s, system S s)" from two cpu_ticks samples.
report() {
    local label=$1 elapsed=$4 user_before system_before user_after system_after
    read -r user_before system_before <<<"$2"
    read -r user_after system_after <<<"$3"
    awk -v label="$label" -v tick="$clock_ticks" -v elapsed="$elapsed" \
        -v user=$((user_after - user_before)) -v sys=$((system_after - system_before)) 'BEGIN {
        printf "%s: %.1f %% of one core over %.0f s (user %.1f s, system %.1f s)\n", label,
            100 * (user + sys) / tick / elapsed, elapsed, user / tick, sys / tick }'
}

# Waits the warm-up, then samples process $1 and Xvfb around the interval; fails naming $2 with
# log $3 when the process ends on the way. Sets the globals `measured` and `xvfb_measured`.
measure() {
    local pid=$1 name=$2 log=$3 start end before xvfb_before
    sleep "$warmup_seconds"
    alive "$pid" || fail "$name ended during the warm-up" "$log"
    before=$(cpu_ticks "$pid")
    xvfb_before=$(cpu_ticks "$xvfb")
    start=$(date +%s.%N)
    sleep "$seconds"
    alive "$pid" || fail "$name ended during the measurement" "$log"
    end=$(date +%s.%N)
    elapsed=$(awk -v s="$start" -v e="$end" 'BEGIN { print e - s }')
    measured=$(report "$name" "$before" "$(cpu_ticks "$pid")" "$elapsed")
    xvfb_measured=$(report "Xvfb while $name" "$xvfb_before" "$(cpu_ticks "$xvfb")" "$elapsed")
}

stop() {
    kill "$1" 2>/dev/null || true
    wait "$1" 2>/dev/null || true
}

echo "Whole-program CPU at 25 fps on Xvfb $DISPLAY (${screen_width}x${screen_height}), ${warmup_seconds} s warm-up, ${seconds} s measured; $(uptime | sed 's/.*\(load average\)/\1/')"

# --- Calorview on camera $1 ("demo" or a scenario file), on a private copy of its application
# folder so that its settings and alarm files stay out of the stage, with its own single-instance
# lock. Sets `measured` and `xvfb_measured`, labelled $2.
run_calorview() {
    local camera=$1 label=$2 app="$work/app-$2" log="$work/calorview-$2.log" runtime="$work/runtime-$2"
    cp -a "$stage" "$app"
    mkdir -m 700 "$runtime"
    FRAMEGATE_VIRTUAL_CAMERA=$camera XDG_RUNTIME_DIR=$runtime QT_QPA_PLATFORM=xcb \
        "$(dirname "$0")/run-staged.sh" "$app" >"$log" 2>&1 &
    local calorview=$!  # run-staged.sh ends by exec'ing the program: this is its process
    pids+=("$calorview")

    local window opened shown
    window=$(find_window Calorview "$calorview") || no_window calorview "$calorview" "$log"
    opened=$(window_size "$window")
    # The program opens at 1280 x 720, frameless; with no window manager on Xvfb, filling the
    # screen is a move and a resize of its window.
    xdotool windowmove "$window" 0 0 windowsize "$window" "$screen_width" "$screen_height"
    sleep 1
    shown=$(window_size "$window")
    [[ "$shown" == "${screen_width}x${screen_height}" ]] ||
        fail "calorview's window stayed at $shown instead of filling the screen" "$log"
    for _ in $(seq 300); do
        grep -q "ConnectToDev Success" "$log" && break
        alive "$calorview" || fail "calorview ended before it connected to the camera" "$log"
        sleep 0.1
    done
    grep -q "ConnectToDev Success" "$log" || fail "calorview did not connect to the camera" "$log"
    echo "calorview ($label): window opened at $opened, resized to $shown"

    measure "$calorview" "calorview ($label)" "$log"
    stop "$calorview"
}

run_calorview demo "demo, alarm episodes"
demo_measured=$measured
demo_xvfb=$xvfb_measured
echo '{"name": "No Alarms"}' >"$work/no-alarms.json"
run_calorview "$work/no-alarms.json" "no alarms"
plain_measured=$measured
plain_xvfb=$xvfb_measured
# An alarm on every frame; the temperature steps every second, so consecutive items differ.
cat >"$work/continuous-alarm.json" <<'SCENARIO'
{"name": "Continuous Alarm", "loop_ms": 3000, "timeline": [
    {"at_ms": 0, "time": "local", "alarm": true, "rect": true, "unit": "C", "temperature": 38.5},
    {"at_ms": 1000, "temperature": 39.0},
    {"at_ms": 2000, "temperature": 39.5}]}
SCENARIO
run_calorview "$work/continuous-alarm.json" "continuous alarm"
alarm_measured=$measured
alarm_xvfb=$xvfb_measured
alarm_snapshots=$(find "$work/app-continuous alarm/AlarmImages" -name '*.png' | wc -l)

# --- ffplay showing the same format from a pipe, ffmpeg pacing it at 25 fps (not measured).
# SDL chooses its renderer as for a user (OpenGL on Mesa's software rasteriser under Xvfb, in
# ffplay's process); SDL_RENDER_DRIVER=software in the environment picks SDL's own instead.
mkfifo "$work/frames"
ffmpeg -nostdin -loglevel error -re -f lavfi -i "testsrc2=size=480x640:rate=25" \
    -pix_fmt uyvy422 -f rawvideo - >"$work/frames" 2>"$work/ffmpeg.log" &
pids+=($!)
log="$work/ffplay.log"
SDL_VIDEODRIVER=x11 ffplay -nostats -loglevel verbose -window_title ffplay-bench \
    -f rawvideo -pixel_format uyvy422 -video_size 480x640 -framerate 25 \
    -x "$video_width" -y "$video_height" -an - <"$work/frames" >"$log" 2>&1 &
ffplay=$!
pids+=("$ffplay")
window=$(find_window ffplay-bench "$ffplay") || no_window ffplay "$ffplay" "$log"
renderer=$(grep -o 'Initialized [a-z0-9]* renderer' "$log" | awk '{ print $2 }' || true)
echo "ffplay: window $(window_size "$window"), SDL renderer ${renderer:-unknown}"

measure "$ffplay" ffplay "$log"
stop "$ffplay"

echo "$demo_measured"
echo "  $demo_xvfb"
echo "$plain_measured"
echo "  $plain_xvfb"
echo "$alarm_measured"
echo "  $alarm_xvfb"
echo "  $alarm_snapshots alarm snapshots written"
awk -v quiet="$plain_measured" -v alarm="$alarm_measured" 'BEGIN {
    split(quiet, q, ": "); split(alarm, a, ": ")
    if (q[2] + 0 > 0) printf "continuous alarm / no alarms: %.1f times\n", (a[2] + 0) / (q[2] + 0) }'
echo "$measured"
echo "  $xvfb_measured"
