#!/usr/bin/env bash
# Runs a test binary built for a sanitizer variant (plain, thread, address).
# ThreadSanitizer maps shadow memory at fixed addresses, which high mmap
# randomisation on newer kernels can collide with; it runs without address
# randomisation when setarch is available. The published runtime's threads
# are never joined by design (they outlive shutdown), so thread leaks at exit
# are not reported.
set -euo pipefail
variant=$1
shift
case "$variant" in
  thread)
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 report_thread_leaks=0 ${TSAN_OPTIONS:-}"
    if command -v setarch >/dev/null 2>&1; then exec setarch "$(uname -m)" -R "$@"; fi
    ;;
  address)
    export ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 ${ASAN_OPTIONS:-}"
    export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
    ;;
esac
exec "$@"
