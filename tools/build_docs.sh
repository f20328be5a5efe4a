#!/usr/bin/env bash
# Builds the documentation site with the given environment's Python (velliq[docs]
# installed there: the site documents the installed package) with warnings as
# errors and nitpicky references, runs every example in it as a doctest, checks its
# internal links, and, when Chromium is installed, screenshots the start page and an
# API page with their pictures to SHOTS (default /tmp/velliq-docs), outside the clone.
#   tools/build_docs.sh [PYTHON]     (default python3)
set -euo pipefail
cd "$(dirname "$0")/.."
py=${1:-python3}
out=docs/_build
shots=${SHOTS:-/tmp/velliq-docs}

rm -rf "$out"
"$py" -m sphinx -b html -W --keep-going -n -q -d "$out/doctrees" docs "$out/html"
"$py" -m sphinx -b doctest -W --keep-going -n -q -d "$out/doctrees" docs "$out/doctest"
tail -n 4 "$out/doctest/output.txt"
"$py" tools/check_links.py "$out/html"

browser=$(command -v chromium chromium-browser || true)
if [ -n "$browser" ]; then
    mkdir -p "$shots"
    for page in index api/chain; do
        shot=$shots/${page//\//-}.png
        "$browser" --headless --no-sandbox --disable-gpu --hide-scrollbars --window-size=1280,1800 \
            --screenshot="$shot" "file://$PWD/$out/html/$page.html" 2>/dev/null
        [ -s "$shot" ] || { echo "no screenshot of $page" >&2; exit 1; }
        echo "screenshot of $page.html: $shot"
    done
else
    echo "chromium not installed: no screenshots"
fi
