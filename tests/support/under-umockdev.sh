#!/bin/sh
# Runs a test program under umockdev's preload: under-umockdev.sh WRAPPER PROGRAM [ARGS...].
# In the AddressSanitizer build the preload comes before ASan's runtime in the library list,
# which ASan refuses by default; nothing of the preload's needs ASan first, so only that check
# is switched off and every other ASAN_OPTIONS setting stays.
wrapper=$1
shift
ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0" exec "$wrapper" "$@"
