#!/usr/bin/env bash
# Tests a wheel as a user installs it: a fresh virtual environment of PYTHON gets the
# wheel with its test extras (binary packages only), then the test suite runs against
# that installed package, and `velliq vols` turns the shipped sample quotes into
# volatilities, all on a PATH that holds the environment's bin/ and no C++ compiler.
#   tools/test_wheel.sh PYTHON WHEEL VENV [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
python=$1 wheel=$(realpath "$2") venv=$3
shift 3

rm -rf "$venv"
"$python" -m venv "$venv"
venv=$(cd "$venv" && pwd)
bare_path=$venv/bin
if found=$(PATH=$bare_path command -v c++ g++ cc gcc clang clang++); then
    echo "a compiler is on the test PATH: $found" >&2
    exit 1
fi
echo "test PATH=$bare_path: command -v c++ g++ cc gcc finds nothing"
run() { env PATH="$bare_path" "$@"; }

run pip install -q --only-binary=:all: "$wheel[test]"
# The version on the command line is the wheel's, from pyproject.toml.
wheel_version=$(basename "$wheel" | cut -d- -f2)
[ "$(run velliq --version)" = "velliq $wheel_version" ] ||
    { echo "velliq --version: $(run velliq --version), wheel: $wheel_version" >&2; exit 1; }
# From the clone's root, the installed package is still the one imported (src layout).
run python -c "import sys, velliq; sys.exit(not velliq.__path__[0].startswith(sys.prefix))" ||
    { echo "velliq is not imported from $venv" >&2; exit 1; }

run pytest -q -p no:cacheprovider "$@"

# The README's main job, in an empty directory.
job=$(mktemp -d /tmp/velliq-job.XXXXXX)
(cd "$job" && run velliq vols "$OLDPWD/examples/data/quotes.csv.gz" --valuation-date 2026-12-04 \
    --rate 0.04 --plot smiles.png)
[ -s "$job/smiles.png" ] || { echo "velliq vols wrote no smiles.png" >&2; exit 1; }
echo "velliq vols on the sample: summary above, smiles in $job/smiles.png"
