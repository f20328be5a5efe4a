"""Peak memory of velliq.chain.implied_vols against the quote table it reads.

    python bench/chain_memory.py                 # 1,000,000 rows, forwards estimated, BAW
    python bench/chain_memory.py --rows 200000 --given-forwards

The table is that of bench/chain.py. tracemalloc traces every allocation
made during one call (NumPy reports its own), the result included; the
input's size is its deep memory usage.
"""

import argparse
import tracemalloc

from chain import RATE, table
from report import target_met

from velliq import chain


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--model", default="baw")
    parser.add_argument("--given-forwards", action="store_true", help="dividend yields given: no forward estimated")
    args = parser.parse_args(argv)
    frame, arrays = table(args.rows)
    options = dict(rate=RATE, model=args.model, workers=1)
    if args.given_forwards:
        frame = frame.assign(forward=arrays["F"], discount=arrays["D"])
        options = dict(model=args.model, workers=1)
    size = int(frame.memory_usage(deep=True).sum())
    tracemalloc.start()
    result = chain.implied_vols(frame, **options)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    output = int(result.memory_usage(deep=True).sum())
    print(f"rows {len(frame):,}, forwards {'given' if args.given_forwards else 'estimated'}, model {args.model}")
    print(f"input table {size / 2**20:10.1f} MiB")
    print(f"result      {output / 2**20:10.1f} MiB (input columns shared)")
    print(f"peak        {peak / 2**20:10.1f} MiB")
    op, bound, met = target_met("table_peak_memory", peak / size)
    print(f"peak / input table {peak / size:.3f}  (target {op} {bound}: {'met' if met else 'MISSED'})")


if __name__ == "__main__":
    main()
