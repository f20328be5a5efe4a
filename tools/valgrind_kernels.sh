#!/usr/bin/env bash
# Runs the kernel tests (or the test files given) under valgrind memcheck and
# reports the errors whose stacks pass through our code: the kernels, the probe
# library that drives them, or the velliq.norvane module. Errors only in
# CPython, glibc or NumPy are counted, not reported.
#   tools/valgrind_kernels.sh [test files...]     (PYTEST=path to choose pytest)
set -uo pipefail
cd "$(dirname "$0")/.."
pytest=${PYTEST:-$([ -x .venv/bin/pytest ] && echo .venv/bin/pytest || command -v pytest)}
if [ $# -gt 0 ]; then tests=("$@"); else tests=(tests/test_kernels.py); fi
log=$(mktemp /tmp/velliq-valgrind.XXXXXX.log)
PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=no --num-callers=40 \
    --log-file="$log" "$pytest" -q -p no:cacheprovider "${tests[@]}"
status=$?
sed 's/^==[0-9]*== \{0,1\}//' "$log" | awk -v RS= -v ORS='\n\n' \
    '/^(Invalid|Conditional|Use of uninit|Syscall param|Mismatched|Source and dest|Argument)/ &&
     /kernel_probe|norvane|velliq|kernels\//' > "$log.ours"
ours=$(awk -v RS= 'END { print NR }' "$log.ours")
cat "$log.ours"
echo "valgrind: $(grep -o 'ERROR SUMMARY: [0-9]* errors from [0-9]* contexts' "$log" | tail -1)" \
     "in all, $ours in our code (full log: $log)"
[ "$status" -eq 0 ] && [ "$ours" -eq 0 ]
