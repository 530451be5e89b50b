#!/usr/bin/env bash
# Starts Calorview from its application folder, as an installed copy would be started.
set -euo pipefail
stage=$(cd "$1" && pwd)

if [[ ! -x "$stage/calorview" ]]; then
    echo "Everything is built, but there is nothing to start yet: the Calorview client is not part of this build."
    exit 0
fi

thermal_camera_attached() {
    local usb
    for node in /sys/class/video4linux/video*; do
        usb=$(readlink -f "$node/device/..")
        if [[ "$(cat "$usb/idVendor" 2>/dev/null)" == 1d6b && "$(cat "$usb/idProduct" 2>/dev/null)" == 0102 ]]; then
            return 0
        fi
    done
    return 1
}

# Without a thermal camera attached, show the built-in virtual one.
if [[ -z "${FRAMEGATE_VIRTUAL_CAMERA:-}" ]] && ! thermal_camera_attached; then
    export FRAMEGATE_VIRTUAL_CAMERA=demo
fi
cd "$stage"
exec ./calorview "${@:2}"
