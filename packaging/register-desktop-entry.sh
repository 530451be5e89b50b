#!/usr/bin/env bash
# Puts Calorview into the desktop's application menu for the current user: writes
# calorview.desktop into ${XDG_DATA_HOME:-~/.local/share}/applications, made from the one beside
# this script with the absolute paths of this folder, wherever it was unpacked. Running it again
# rewrites the same entry (do so after moving the folder); --remove takes the entry away.
set -euo pipefail

app_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd -P)
applications="${XDG_DATA_HOME:-$HOME/.local/share}/applications"
entry="$applications/calorview.desktop"

case "${1:-}" in
    "") ;;
    --remove)
        rm -f "$entry"
        echo "Removed $entry"
        exit 0
        ;;
    *)
        echo "usage: $0 [--remove]" >&2
        exit 2
        ;;
esac

if [[ "$app_dir" == *$'\n'* ]]; then
    echo "$0: a folder whose path holds a line break cannot be named in a desktop entry" >&2
    exit 1
fi

# A desktop entry's string values escape the backslash.
desktop_string() {
    printf '%s' "${1//\\/\\\\}"
}

# Exec takes the program as one double-quoted argument: inside the quotes ", `, $ and \ are
# escaped, % is doubled (field codes), and then the value is escaped like any string.
exec_argument() {
    local quoted=$1
    quoted=${quoted//\\/\\\\}
    quoted=${quoted//\"/\\\"}
    quoted=${quoted//\`/\\\`}
    quoted=${quoted//\$/\\\$}
    quoted=${quoted//%/%%}
    desktop_string "\"$quoted\""
}

# The program reads its style sheet and translation, and keeps its storage folders, relative to
# its working directory, so the entry starts it in this folder (Path). TryExec hides the entry
# once the folder is gone.
exec_line=$(exec_argument "$app_dir/calorview")
program=$(desktop_string "$app_dir/calorview")
icon=$(desktop_string "$app_dir/Skin/mainicon.png")
folder=$(desktop_string "$app_dir")

mkdir -p "$applications"
written=$(mktemp "$applications/.calorview.desktop.XXXXXX")
trap 'rm -f "$written"' EXIT
# awk takes the values from its environment: -v would undo their backslash escapes.
ENTRY_EXEC=$exec_line ENTRY_TRYEXEC=$program ENTRY_ICON=$icon ENTRY_PATH=$folder awk '
    /^(Exec|TryExec|Icon|Path)=/ { next }
    { print }
    /^\[Desktop Entry\]$/ {
        print "Exec=" ENVIRON["ENTRY_EXEC"]
        print "TryExec=" ENVIRON["ENTRY_TRYEXEC"]
        print "Icon=" ENVIRON["ENTRY_ICON"]
        print "Path=" ENVIRON["ENTRY_PATH"]
    }
' "$app_dir/calorview.desktop" >"$written"
chmod 644 "$written"
mv -f "$written" "$entry"
trap - EXIT
echo "Registered $entry for $app_dir"
