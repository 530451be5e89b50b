#!/usr/bin/env bash
# `make package`'s Debian package as a user installs it: cpack builds it into a temporary folder;
# its control fields and entries, apt's view of its dependencies (as root), lintian, the
# AppStream and desktop-entry validators, its maintainer scripts and an unpacked tree are checked.
# Usage: check-deb.sh BUILD_DIR PROJECT_VERSION
set -euo pipefail
build=$1
version=$2
name="calorview_${version}_amd64.deb"

# shellcheck source=package-check-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/package-check-lib.sh"
cpack_into "$work/out" DEB "$name"
deb="$work/out/$name"

# Control fields; Depends comes from dpkg-shlibdeps, so it names the Qt libraries and never the
# package's own libframegate.so.
declare -A fields=([Package]=calorview [Version]=$version [Architecture]=amd64
                   [Section]=video [Priority]=optional)
for field in "${!fields[@]}"; do
    value=$(dpkg-deb -f "$deb" "$field")
    [[ "$value" == "${fields[$field]}" ]] || fail "$field is '$value', not '${fields[$field]}'"
done
depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt6core6 libqt6gui6 libqt6widgets6 libqt6multimedia6 libusb-1.0-0 libc6; do
    [[ ", $depends," == *", $package "[,\(]* ]] || fail "Depends lacks $package: $depends"
done
[[ "$depends" != *framegate* ]] || fail "Depends names libframegate: $depends"
[[ "$(dpkg-deb -f "$deb" Recommends)" == *fonts-noto-cjk* ]] || fail "Recommends no CJK font"

# Entries: the programs and their resources in /usr/lib/calorview, none of the application
# folder's storage folders or its registration script.
mapfile -t entries < <(dpkg-deb -c "$deb" | sed -E 's/^(\S+\s+){5}\.//; s/ -> .*//')
app=/usr/lib/calorview
for path in $app/{calorview,calorview-upgrade,framegate-probe,pvf-tool,libframegate.so} \
    $app/{CompileInfo.ini,"Operation Manual.pdf",alarm1.wav,calorview.installed,Lang/kvs_zh.qm} \
    $app/Skin/{kvs.qss,mainicon.png} /usr/bin/{calorview,calorview-upgrade,framegate-probe,pvf-tool} \
    /usr/lib/udev/rules.d/70-calorview.rules /usr/share/applications/org.example.calorview.desktop \
    /usr/share/icons/hicolor/{48x48,128x128,256x256}/apps/calorview.png \
    /usr/share/metainfo/org.example.calorview.metainfo.xml \
    /usr/share/doc/calorview/{copyright,changelog.gz} /usr/share/man/man1/calorview.1.gz; do
    printf '%s\n' "${entries[@]}" | grep -qxF "$path" || fail "no entry $path"
done
unwanted=$(printf '%s\n' "${entries[@]}" |
    grep -E '/(AlarmImages|AlarmRecords|Records|Snapshot|QZLog)/|register-desktop-entry|kvs\.ini' || true)
[[ -z "$unwanted" ]] || fail "unexpected entries: $unwanted"

if [[ $(id -u) -eq 0 ]]; then
    apt-get install --simulate "$deb" >"$work/apt.log" 2>&1 ||
        fail "apt-get cannot install it: $(tail -n 5 "$work/apt.log")"
else
    echo "apt-get install --simulate skipped: it needs root"
fi

# lintian's errors and warnings fail: the package has none to accept (its infos are listed in
# packaging/CMakeLists.txt).
lintian --allow-root --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || true
if grep -qE '^[EW]:' "$work/lintian.log"; then
    fail "lintian: $(grep -E '^[EW]:' "$work/lintian.log")"
fi

root="$work/unpacked root"
dpkg-deb -x "$deb" "$root"
dpkg-deb -e "$deb" "$work/control"
appstreamcli validate --no-net "$root/usr/share/metainfo/org.example.calorview.metainfo.xml" \
    >"$work/appstream.log" 2>&1 || fail "appstreamcli: $(cat "$work/appstream.log")"
desktop-file-validate "$root/usr/share/applications/org.example.calorview.desktop" ||
    fail "desktop-file-validate"
for size in 48 128 256; do
    file "$root/usr/share/icons/hicolor/${size}x$size/apps/calorview.png" |
        grep -q "PNG image data, $size x $size" || fail "the ${size}x$size icon is not that size"
done

# The maintainer scripts succeed whether or not a udev daemon runs here.
for script in "postinst configure" "postrm remove" "postrm purge"; do
    sh "$work/control/${script% *}" "${script#* }" || fail "$script failed"
done

# The relative links lead to the unpacked programs, which find libframegate.so beside them.
for command in calorview calorview-upgrade framegate-probe pvf-tool; do
    [[ "$(realpath "$root/usr/bin/$command")" == "$(realpath "$root$app/$command")" ]] ||
        fail "/usr/bin/$command does not lead to $app/$command"
done
if ! FRAMEGATE_VIRTUAL_CAMERA=demo "$root/usr/bin/framegate-probe" --frames 2 >"$work/probe.log" 2>&1; then
    fail "framegate-probe does not run from the unpacked tree: $(tail -n 3 "$work/probe.log")"
fi

# Started from the unpacked tree as a user would (the XDG variables unset: the usual case): its
# settings, an alarm snapshot and its log go into the user's folders, nothing into the tree.
home="$work/home"
mkdir -p "$home"
before=$(cd "$root" && find . | sort)
env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_STATE_HOME HOME="$home" XDG_RUNTIME_DIR="$work" \
    QT_QPA_PLATFORM=offscreen FRAMEGATE_VIRTUAL_CAMERA=demo \
    "$root/usr/bin/calorview" >"$work/calorview.log" 2>&1 &
program=$!
data="$home/.local/share/calorview"
for _ in $(seq 200); do
    compgen -G "$data/AlarmImages/*.png" >/dev/null && break
    sleep 0.1
done
kill -TERM "$program"
wait "$program" || fail "calorview ended with $? on SIGTERM: $(tail -n 5 "$work/calorview.log")"
compgen -G "$data/AlarmImages/*.png" >/dev/null || fail "no alarm snapshot in $data/AlarmImages"
[[ -f "$home/.config/calorview/kvs.ini" ]] || fail "no settings in $home/.config/calorview"
compgen -G "$data/QZLog/*" >/dev/null || fail "no log in $data/QZLog"
[[ "$(cd "$root" && find . | sort)" == "$before" ]] || fail "the run wrote into the unpacked tree"

if ((failures > 0)); then
    exit 1
fi
echo "$name: $(du -k "$deb" | cut -f1) KiB, fields, entries and validators as expected"
