#!/usr/bin/env bash
# The tree's mechanical checks, as CI runs them: ruff (lint and format),
# clang-format (braces on every body) over every C++ file, mypy --strict over the
# package, whose modules carry their own annotations (stubs only for the compiled
# modules). With --fix, formats in place first.
#   tools/check.sh [--fix]      (PYTHON=interpreter of the environment to use)
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
bin=$(dirname "$(command -v "$py")")
"$py" -m pip install -q -r tools/lint-requirements.txt

# The hooks of .pre-commit-config.yaml must run the versions pinned here.
while read -r pin; do
    name=${pin%%==*} version=${pin##*==}
    grep -q "rev: v$version" .pre-commit-config.yaml || [ "$name" = mypy ] ||
        { echo "$name: .pre-commit-config.yaml does not pin $version" >&2; exit 1; }
done < <(grep -v '^#' tools/lint-requirements.txt)

if [ "${1:-}" = --fix ]; then
    "$bin/ruff" check --fix .
    "$bin/ruff" format .
    git ls-files -z '*.cpp' '*.hpp' | xargs -0 "$bin/clang-format" -i
fi
"$bin/ruff" check .
"$bin/ruff" format --check .
git ls-files -z '*.cpp' '*.hpp' | xargs -0 "$bin/clang-format" --dry-run -Werror
# A stub beside a .py file would hide the module's body from mypy.
while IFS= read -r -d '' stub; do
    [ ! -e "${stub%.pyi}.py" ] || { echo "$stub: type ${stub%.pyi}.py inline instead" >&2; exit 1; }
done < <(find src/velliq -name '*.pyi' -print0)
"$bin/mypy" --strict src/velliq
