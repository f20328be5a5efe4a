#!/usr/bin/env bash
# Instructions per American price and per implied volatility, counted by
# callgrind on a small fixed workload (N quotes of the benchmark chain, default
# 200) through the floor library. One callgrind run per kernel loop, with
# counting toggled on only inside that exported loop (floor_price_loop, then
# floor_implied_vol_loop), so Python, NumPy and SciPy start-up are not counted;
# SciPy's brentq and libm, called from the loops, are.
#
#   bash bench/callgrind.sh [N]       (PYTHON=... to choose the interpreter)
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python}
N=${1:-200}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$PYTHON" callgrind_driver.py prepare "$work" "$N"
for loop in floor_price_loop floor_implied_vol_loop; do
    valgrind --tool=callgrind --callgrind-out-file="$work/callgrind.$loop" \
        --toggle-collect="$loop" \
        "$PYTHON" callgrind_driver.py run "$work" 2>"$work/valgrind.log" \
        || { cat "$work/valgrind.log" >&2; exit 1; }
done
"$PYTHON" callgrind_driver.py report "$work"
