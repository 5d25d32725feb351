#!/usr/bin/env bash
# Builds zarn with AddressSanitizer and UndefinedBehaviorSanitizer into .venv-asan and runs
# the whole test suite against it. Any sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m venv .venv-asan
.venv-asan/bin/pip install --config-settings=cmake.define.ZARN_WERROR=ON \
    --config-settings=cmake.define.ZARN_SANITIZE=ON --config-settings=build-dir=build/asan '.[test]'
# The interpreter itself is not instrumented, so the runtime is preloaded, together with the
# C++ runtime whose exception entry points it intercepts. PYTHONMALLOC=malloc lets ASan see
# Python's allocations. CPython frees little at exit by design, so leak reports are off.
# Huge requests must fail as MemoryError rather than abort, as they do without sanitizers.
export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)"
export PYTHONMALLOC=malloc
export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:abort_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
.venv-asan/bin/pytest -p no:cacheprovider
