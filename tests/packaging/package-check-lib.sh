# Shared by the package checks: a temporary work folder removed at exit, fail() that counts
# without stopping, and cpack_into OUT GENERATOR FILE, which builds one package of BUILD_DIR
# ($build) into OUT and stops the check when cpack fails or writes no FILE.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

cpack_into() {
    local out=$1 generator=$2 file=$3
    if ! cpack --config "$build/CPackConfig.cmake" -G "$generator" -B "$out" >"$work/cpack.log" 2>&1; then
        cat "$work/cpack.log" >&2
        exit 1
    fi
    [[ -f "$out/$file" ]] || { echo "FAIL: cpack wrote no $file" >&2; exit 1; }
}
