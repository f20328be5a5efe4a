#!/usr/bin/env bash
# Builds velliq.norvane with AddressSanitizer and UndefinedBehaviorSanitizer into
# a venv of its own and runs the whole test suite against that build.
#   tools/sanitize.sh [pytest args...]     (VENV=dir to keep or reuse the venv)
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${VENV:-$(mktemp -d /tmp/velliq-asan.XXXXXX)}
san="-fsanitize=address,undefined,float-cast-overflow"
py=${PYTHON:-python3.12}
"$py" -V &>/dev/null || py=$(ls "$HOME"/.pyenv/versions/3.12*/bin/python3.12 | tail -1)
[ -x "$venv/bin/python" ] || "$py" -m venv "$venv"
"$venv/bin/pip" install -q scikit-build-core cmake ninja numpy
rm -rf "$venv/wheel"
CXXFLAGS="$san -fno-omit-frame-pointer -g" LDFLAGS="$san" \
    "$venv/bin/pip" wheel -q --no-deps --no-build-isolation -w "$venv/wheel" \
    -C cmake.build-type=RelWithDebInfo .
wheel=$(echo "$venv"/wheel/velliq-*.whl)
"$venv/bin/pip" install -q "$wheel[test]" && "$venv/bin/pip" install -q --force-reinstall --no-deps "$wheel"
so=$(find "$venv/lib" -name 'norvane*.so')
ldd "$so" | grep libasan >/dev/null || { echo "not an ASan build: $so" >&2; exit 1; }
echo "sanitized build: $so"
# CPython is not leak-clean, so leaks are not checked; any other report aborts the
# run (a worker process of a cluster test may die and leave its test waiting: the
# time limit ends that). Capturing at sys level lets the reports reach the terminal.
# libstdc++ is preloaded too: ASan intercepts __cxa_throw only when the real one
# is already loaded, and C++ extensions the tests import (matplotlib's) throw.
LD_PRELOAD="$(c++ -print-file-name=libasan.so) $(c++ -print-file-name=libstdc++.so)" \
ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1} \
    timeout "${LIMIT:-1800}" "$venv/bin/pytest" -q -p no:cacheprovider --capture=sys "${@:-tests}"
