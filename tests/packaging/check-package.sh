#!/usr/bin/env bash
# The portable archive as a user gets it: cpack builds it into a temporary folder, it is unpacked
# under a path with a space, and then its entries, its programs' libraries, the README's list of
# run-time packages and the desktop entry registration are checked.
# Usage: check-package.sh BUILD_DIR PROJECT_VERSION README
set -euo pipefail
build=$1
version=$2
readme=$3
stage="$build/stage"
name="calorview-$version-linux-x86_64"

# shellcheck source=package-check-lib.sh
source "$(dirname "${BASH_SOURCE[0]}")/package-check-lib.sh"
cpack_into "$work/out" TGZ "$name.tar.gz"
archive="$work/out/$name.tar.gz"

mkdir "$work/unpacked here"
tar -xzf "$archive" -C "$work/unpacked here"
top=$(ls -A "$work/unpacked here")
[[ "$top" == "$name" ]] || { echo "FAIL: the archive's top level is '$top', not $name/" >&2; exit 1; }
app="$work/unpacked here/$name"

# Every entry is expected: the Skin images and the storage folders (empty) are those of the
# stage; run-time data (kvs.ini, logs, alarm files) anywhere is an unexpected entry.
declare -A expected=(
    [calorview]=1 [libframegate.so]=1 [calorview-upgrade]=1 [framegate-probe]=1 [pvf-tool]=1
    [CompileInfo.ini]=1 ["Operation Manual.pdf"]=1 [alarm1.wav]=1 [Lang]=1 [Lang/kvs_zh.qm]=1
    [Skin]=1 [calorview.desktop]=1 [register-desktop-entry.sh]=1
)
while IFS= read -r entry; do
    expected["$entry"]=1
done < <(cd "$stage" && find Skin -mindepth 1 && find . -mindepth 1 -maxdepth 1 -type d \
    ! -name Skin ! -name Lang -printf '%P\n')
while IFS= read -r entry; do
    [[ -n "${expected[$entry]:-}" ]] || fail "unexpected entry $entry"
    unset "expected[$entry]"
done < <(cd "$app" && find . -mindepth 1 -printf '%P\n')
for entry in "${!expected[@]}"; do
    fail "missing entry $entry"
done

# The programs find libframegate.so beside them and every other library on the system; no run
# path leads back into the build tree.
needed=()
for elf in calorview libframegate.so calorview-upgrade framegate-probe pvf-tool; do
    resolved=$(ldd "$app/$elf")
    [[ "$resolved" != *"not found"* ]] || fail "$elf: $(grep 'not found' <<<"$resolved" | tr -s ' \t\n' ' ')"
    if [[ "$elf" == calorview || "$elf" == framegate-probe ]]; then
        [[ "$resolved" == *"libframegate.so => $app/libframegate.so "* ]] ||
            fail "$elf does not load the libframegate.so beside it"
    fi
    runpath=$(objdump -p "$app/$elf" | awk '$1 == "RUNPATH" || $1 == "RPATH" { print $2 }')
    # shellcheck disable=SC2016 # the literal run path
    [[ -z "$runpath" || "$runpath" == '$ORIGIN' ]] || fail "$elf: run path $runpath"
    while read -r library; do
        needed+=("$library")
    done < <(objdump -p "$app/$elf" | awk '$1 == "NEEDED" && $2 != "libframegate.so" { print $2 }')
done

# The README's install command names the Debian package of every library the programs link,
# and its unpacking command names this archive.
grep -qF "tar xzf $name.tar.gz && cd $name && ./calorview" "$readme" ||
    fail "README's unpacking command does not name $name.tar.gz"
read -ra listed < <(grep -m1 -o 'sudo apt-get install -y [^`]*' "$readme" | cut -d' ' -f5-)
mapfile -t libraries < <(printf '%s\n' "${needed[@]}" | sort -u)
owners=$(dpkg -S "${libraries[@]/#/*/x86_64-linux-gnu/}" 2>/dev/null || true)
for library in "${libraries[@]}"; do
    owner=$(awk -v end="/$library" 'substr($0, length($0) - length(end) + 1) == end' <<<"$owners")
    package=${owner%%:*}
    if [[ -z "$owner" ]]; then
        fail "$library comes from no Debian package"
    elif [[ " ${listed[*]} " != *" $package "* ]]; then
        fail "README's install command lacks $package ($library)"
    fi
done

# The installed run path works from a folder whose path holds a space.
if ! (cd "$app" && FRAMEGATE_VIRTUAL_CAMERA=demo ./framegate-probe --frames 2 >"$work/probe.log" 2>&1); then
    fail "framegate-probe does not run from the unpacked folder: $(tail -n 3 "$work/probe.log")"
fi

# The menu entry names this folder, validates, is written once however often the script runs,
# and goes with --remove.
export XDG_DATA_HOME="$work/data home"
entry="$XDG_DATA_HOME/applications/calorview.desktop"
"$app/register-desktop-entry.sh" >/dev/null
first=$(cat "$entry")
"$app/register-desktop-entry.sh" >/dev/null
[[ "$(cat "$entry")" == "$first" && "$(ls -A "$XDG_DATA_HOME/applications")" == calorview.desktop ]] ||
    fail "registering twice does not give the same single entry"
desktop-file-validate "$app/calorview.desktop" "$entry" || fail "desktop-file-validate"
for line in "Exec=\"$app/calorview\"" "Icon=$app/Skin/mainicon.png" "Path=$app"; do
    grep -qxF "$line" "$entry" || fail "the entry lacks the line $line"
done
"$app/register-desktop-entry.sh" --remove >/dev/null
[[ ! -e "$entry" ]] || fail "--remove left $entry"

if ((failures > 0)); then
    exit 1
fi
echo "$name.tar.gz: $(du -k "$archive" | cut -f1) KiB, contents and desktop entry as expected"
