"""The dividend guide's figure: ACME's quotes of tools/devsupport/dividend_quotes.py
(priced by velliq.dividends, a 1.00 dividend going ex on 2026-02-13), their mid
vols with the dividend schedule and without it (a continuous carry through the
same forward), on the expiry of the ex-date and a week after it."""

import matplotlib.pyplot as plt
import numpy as np

from tools.devsupport import dividend_quotes  # the clone is on the path (conf.py's plot_working_directory)
from velliq import chain

quotes, dividends, truth = dividend_quotes.dividend_chain()
market = dict(valuation_date=dividend_quotes.VALUATION, rate=dividend_quotes.RATE, model="american")
with_schedule = chain.implied_vols(quotes, dividends=dividends, **market)
without = chain.implied_vols(quotes, **market)

figure, axes = plt.subplots(1, 2, figsize=(9, 3.6), sharey=True)
for axis, expiry in zip(axes, ("2026-02-13", "2026-02-20")):
    for side, marker in (("C", "o"), ("P", "s")):
        rows = (quotes["underlying"] == "ACME") & (quotes["expiry"] == expiry) & (quotes["side"] == side)
        x = np.log(quotes["strike"][rows] / with_schedule["forward"][rows])
        label = "calls" if side == "C" else "puts"
        axis.plot(x, 100 * with_schedule["iv_mid"][rows], marker, color="C0", label=f"{label}, with the dividend")
        axis.plot(x, 100 * without["iv_mid"][rows], marker, color="C3", fillstyle="none", label=f"{label}, without")
    axis.plot(x, 100 * truth["vol"][rows], color="0.6", lw=1, zorder=0, label="the smile priced")
    axis.set_title(f"ACME {expiry}" + (": the ex-date" if expiry == "2026-02-13" else ": a week after it"))
    axis.set_xlabel("ln(K / F)")
axes[0].set_ylabel("mid implied vol (%)")
axes[1].legend(fontsize=7, loc="upper center")
