"""Import times of the package's entry modules, and what each import loads.

For each module, the best of several runs of ``python -X importtime -c "import M"``
(cumulative, the module and everything it imports), in a fresh interpreter each
time. Fails when a module loads a heavy dependency it should leave until it is
needed: ``import velliq`` loads nothing compiled, and nothing but ``velliq.chain``'s
plotting loads matplotlib.

    python tools/import_times.py [runs]      (the interpreter of the environment to measure)
"""

import subprocess
import sys

# module: the heavy packages it must not load
MODULES = {
    "velliq": ("numpy", "scipy", "pandas", "pyarrow", "matplotlib", "dask"),
    "velliq.baw": ("pandas", "pyarrow", "matplotlib", "dask"),
    "velliq.american": ("pandas", "pyarrow", "matplotlib", "dask"),
    "velliq.chain": ("matplotlib", "dask"),
}
REPORT = "import sys; print(' '.join(sorted({m.partition('.')[0] for m in sys.modules})))"


def cumulative_us(module):
    run = subprocess.run(
        [sys.executable, "-X", "importtime", "-c", f"import {module}"], capture_output=True, text=True, check=True
    )
    for line in run.stderr.splitlines():
        fields = [field.strip() for field in line.removeprefix("import time:").split("|")]
        if len(fields) == 3 and fields[2] == module:
            return int(fields[1])
    raise RuntimeError(f"no import time line for {module}")


def loaded(module):
    code = f"import {module}; {REPORT}"
    return set(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.split())


def main(runs=5):
    failed = False
    for module, forbidden in MODULES.items():
        best = min(cumulative_us(module) for _ in range(runs))
        heavy = sorted(loaded(module) & set(forbidden))
        print(f"import {module:<16} {best / 1000:8.2f} ms" + (f"   loads {', '.join(heavy)}" if heavy else ""))
        failed |= bool(heavy)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*map(int, sys.argv[1:])))
