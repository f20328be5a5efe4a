"""Development helpers shared by the tests and the benchmarks; not part of the velliq package.

tests/support.py and the benchmark scripts put tools/ on sys.path and import them from here:

    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tools"))
"""

from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
KERNELS = ROOT / "src" / "kernels"
