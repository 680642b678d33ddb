#!/usr/bin/env bash
# Builds the extension with AddressSanitizer, UndefinedBehaviorSanitizer and
# nanobind's leak check into a venv of its own, and runs the unit tests there,
# and the tests of the transfer engine and of the bucket lister against real
# servers (the fakes never reach the native code).
set -euo pipefail
cd "$(dirname "$0")/.."
export ZARNEL_VENV=.venv-native
ZARNEL_BUILD_DIR=build/native \
ZARNEL_CMAKE_DEFINES="ZARNEL_SANITIZE=ON ZARNEL_LEAK_CHECK=ON ZARNEL_WERROR=ON ZARNEL_STUBS=OFF" \
  scripts/setup.sh

# The interpreter itself is not instrumented: the runtime is preloaded, and
# leak detection is left to nanobind (CPython keeps memory until exit by design).
asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
export LD_PRELOAD="$asan $ubsan"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PYTHONMALLOC=malloc
export ZARNEL_STUBS_EXPECTED=0
# pycryptodome (used by the SDK) would load its helpers with RTLD_DEEPBIND,
# which the sanitizer runtime refuses.
export PYCRYPTODOME_DISABLE_DEEPBIND=1
"$ZARNEL_VENV/bin/python" -m pytest -p no:cacheprovider -q tests/unit tests/integration/test_engine.py \
  tests/integration/test_engine_failures.py tests/integration/test_engine_faults.py \
  tests/integration/test_listing.py tests/integration/test_resume.py "$@"
