#!/usr/bin/env bash
# Leaves the staged program running against the demo camera and samples its resident memory
# (VmRSS) every minute. Fails when the program dies or loses the camera, when it does not end
# cleanly on SIGTERM, or when its memory grows after the first minute by more than the tolerance.
#
#   scripts/soak-staged.sh STAGE_DIR [MINUTES]
#
# MINUTES defaults to $SOAK_MINUTES, else 30; SOAK_SAMPLE_SECONDS (default 60) is the sampling
# period. The program runs on a private copy of the application folder, so its settings, logs
# and alarm files go there; under Xvfb when it is installed, else on Qt's offscreen platform.
set -euo pipefail

stage=$(cd "$1" && pwd)
minutes=${2:-${SOAK_MINUTES:-30}}
sample_seconds=${SOAK_SAMPLE_SECONDS:-60}
# Growth allowed from the first minute's sample to any later one. A steady run stays within
# 1 MiB of it (about 90 MiB in all); a leak of 300 bytes per alarm snapshot (0.2 MiB a minute
# with the demo camera) passes 4 MiB after about 20 minutes.
tolerance_kib=$((4 * 1024))

work=$(mktemp -d)
helpers=()
pid=
cleanup() {
    [[ -n "$pid" ]] && kill "$pid" 2>/dev/null
    for helper in "${helpers[@]}"; do kill "$helper" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

cp -a "$stage" "$work/app"
export FRAMEGATE_VIRTUAL_CAMERA=demo
# glibc raises its mmap threshold to the size of the largest block freed so far, so the
# frame-sized buffers of snapshots and recordings move from mappings into the heap, whose high
# mark then climbs for minutes (16 MiB over the first seven here) before it levels off. A fixed
# threshold keeps them mapped: resident memory follows the memory in use, and a leak shows at
# once. SOAK_ALLOCATOR=default watches the program with the allocator as users run it.
if [[ "${SOAK_ALLOCATOR:-}" != default ]]; then
    export MALLOC_MMAP_THRESHOLD_=131072
fi
# Its own single-instance lock: a Calorview the user is running does not stop the soak.
export XDG_RUNTIME_DIR="$work"
if command -v Xvfb >/dev/null; then
    Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
    helpers+=($!)
    for _ in $(seq 100); do
        [[ -s "$work/display" ]] && break
        sleep 0.1
    done
    [[ -s "$work/display" ]] || { echo "Xvfb did not start:"; cat "$work/xvfb.log"; exit 1; }
    DISPLAY=":$(cat "$work/display")"
    export DISPLAY QT_QPA_PLATFORM=xcb
else
    export QT_QPA_PLATFORM=offscreen
fi

log="$work/calorview.log"
"$(dirname "$0")/run-staged.sh" "$work/app" >"$log" 2>&1 &
pid=$!  # run-staged.sh ends by exec'ing the program: this is its process

alive() { [[ -r /proc/$pid/status ]] && ! grep -q '^State:.*zombie' "/proc/$pid/status" 2>/dev/null; }
fail() {
    echo "FAILED: $*"
    echo "--- last lines of the program's output:"
    tail -n 20 "$log"
    exit 1
}
connections() { grep -c "ConnectToDev Success" "$log" || true; }
mib() { awk -v kib="$1" -v format="$2" 'BEGIN { printf format, kib / 1024 }'; }

for _ in $(seq 300); do
    [[ $(connections) -gt 0 ]] && break
    alive || fail "the program ended before it connected"
    sleep 0.1
done
[[ $(connections) -gt 0 ]] || fail "no connection to the demo camera within 30 s"

echo "Calorview (pid $pid, QT_QPA_PLATFORM=$QT_QPA_PLATFORM, MALLOC_MMAP_THRESHOLD_=${MALLOC_MMAP_THRESHOLD_:-dynamic})"
echo "on the demo camera for $minutes min"
printf '%6s  %9s  %11s  %7s  %11s\n' minute "RSS MiB" "vs minute 1" threads descriptors
first=
peak_growth=0
for ((minute = 1; minute <= minutes; ++minute)); do
    sleep "$sample_seconds"
    alive || fail "the program ended during minute $minute"
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status")
    threads=$(awk '/^Threads:/ {print $2}' "/proc/$pid/status")
    descriptors=$(find "/proc/$pid/fd" -mindepth 1 -maxdepth 1 | wc -l)
    first=${first:-$rss}
    growth=$((rss - first))
    ((growth > peak_growth)) && peak_growth=$growth
    printf '%6d  %9s  %11s  %7d  %11d\n' "$minute" "$(mib "$rss" %.1f)" "$(mib "$growth" %+.1f)" \
        "$threads" "$descriptors"
done

[[ $(connections) -eq 1 ]] || fail "the program lost the camera and connected $(connections) times"
kill -TERM "$pid"
for _ in $(seq 100); do
    alive || break
    sleep 0.1
done
alive && fail "the program did not end within 10 s of SIGTERM"
status=0
wait "$pid" || status=$?
pid=
((status == 0)) || fail "the program ended with status $status on SIGTERM"

echo "Largest growth after minute 1: $(mib "$peak_growth" %.1f) MiB (tolerance $((tolerance_kib / 1024)) MiB)"
((peak_growth <= tolerance_kib)) || fail "resident memory grew by more than the tolerance"
echo "Soak passed."
