"""The figures against peers: QuantLib's BAW engine under Brent and its own implied volatility,
and the same algorithm in Python over SciPy's brentq."""

import time

import numpy as np
import peers
import workload
from american_ratios import setting_ratios
from figures import batch_per_quote
from timing import median_time


def fig_peers(rep, chain, cfg, batch_result):
    """Peers on random samples of the chain; each ratio against the batch on the same sample."""
    order = np.random.default_rng(workload.SEED + 1).permutation(len(chain))
    annual = batch_result / np.sqrt(chain.T)
    if peers.ql is None:
        for fig, key, label in (
            ("3b", "batch_vs_ql_brent", "batch vs QuantLib Brent on BAW NPV"),
            ("3a", "batch_vs_ql_default", "batch vs QuantLib impliedVolatility"),
        ):
            rep.add(fig, key, label, None, note="QuantLib not installed: pip install '.[bench]'")
    else:
        fig_ql_brent(rep, chain, cfg, np.sort(order[: cfg["ql_brent_sample"]]), annual)
        fig_ql_default(rep, chain, cfg, np.sort(order[: cfg["ql_default_sample"]]), annual)
    fig_python(rep, chain, cfg, np.sort(order[: cfg["python_sample"]]), batch_result)


def fig_ql_brent(rep, chain, cfg, sample, annual):
    """3b: Brent on the BAW engine's NPV, objects built once per option and their prices
    checked against ours before any timing."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    vols = sub.sigma / np.sqrt(sub.T)
    start = time.perf_counter()
    options = peers.ql_options(sub, vols)
    build_us = (time.perf_counter() - start) / len(options) * 1e6
    ql_prices = np.array([o.npv(v) for o, v in zip(options, vols)])
    rel = np.abs(ql_prices / sub.prices - 1)
    rep.add(
        "3b",
        "ql_baw_price_max_rel_diff",
        "QuantLib BAW price vs ours, max relative diff",
        float(rel.max()),
        "",
        "{:.2e}",
        note=f"{len(sub)} quotes at their quoting vol; median {np.median(rel):.1e}",
    )
    solver = peers.ql.Brent()
    ql_vols = np.array(peers.ql_brent_implied_vols(options, sub.prices, solver))
    diff = np.abs(ql_vols - annual[sample])
    solved = np.isfinite(ql_vols)
    # Timed on the quotes QuantLib can solve: a failed bracket returns early and would flatter it.
    options_t = [o for o, ok in zip(options, solved) if ok]
    prices_t = sub.prices[solved]
    t, rep.raw["ql_brent_s"] = median_time(lambda: peers.ql_brent_implied_vols(options_t, prices_t, solver), reps)
    per_quote = t / len(options_t)
    batch = batch_per_quote(rep, chain.take(sample[solved]), "batch_on_ql_brent_sample_s", reps)
    rep.add(
        "3b",
        "ql_brent_throughput",
        "QuantLib: Python loop, Brent on BAW NPV",
        1 / per_quote,
        "quotes/s",
        note=f"timed on the {len(options_t)} of {len(sub)} sampled quotes it "
        f"solves; accuracy 1e-10, bracket [{peers.BRENT_MIN_VOL}, {peers.QL_MAX_VOL}] annual; "
        f"objects prebuilt ({build_us:,.0f} us/option, not timed); full chain ~"
        f"{per_quote * len(chain):,.1f} s",
    )
    rep.add(
        "3b",
        "ql_brent_vol_diff",
        "QuantLib Brent vol vs ours, median |diff| (annual)",
        float(np.nanmedian(diff)),
        "",
        "{:.1e}",
        note=f"{int((diff > 1e-4).sum())} quotes differ "
        f"by more than 1e-4 (max {np.nanmax(diff):.2g}); {int((~solved).sum())} not bracketed"
        + (" (deep in the money, price nearly flat in vol)" if (~solved).any() else ""),
    )
    rep.add(
        "3b",
        "batch_vs_ql_brent",
        "batch vs 3b, per core (speed ratio)",
        per_quote / batch,
        "x",
        "{:,.1f}",
        note="batch timed on the same quotes",
    )


def fig_ql_default(rep, chain, cfg, sample, annual):
    """3a: VanillaOption.impliedVolatility. For American exercise QuantLib ignores the
    attached engine and inverts the price of its own finite-difference engine."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    options = peers.ql_options(sub, sub.sigma / np.sqrt(sub.T))
    batch = batch_per_quote(rep, sub, "batch_on_ql_default_sample_s", reps)
    for accuracy, suffix, label in ((1e-4, "", "default accuracy 1e-4"), (1e-10, "_1e-10", "accuracy 1e-10")):
        t, rep.raw["ql_default_s" + suffix] = median_time(
            lambda: peers.ql_default_implied_vols(options, sub.prices, accuracy), reps
        )
        per_quote = t / len(options)
        vols = np.array(peers.ql_default_implied_vols(options, sub.prices, accuracy))
        diff = np.abs(vols - annual[sample])
        rep.add(
            "3a",
            "ql_default_throughput" + suffix,
            f"QuantLib impliedVolatility, {label}",
            1 / per_quote,
            "quotes/s",
            "{:,.1f}",
            note=f"sample {len(options)}; {per_quote * 1e3:,.1f} ms/quote; full chain ~"
            f"{per_quote * len(chain) / 60:,.1f} min; {int(np.isnan(vols).sum())} failed; "
            f"FD vol vs ours median |diff| {np.nanmedian(diff):.1e}",
        )
        rep.add("3a", "batch_vs_ql_default" + suffix, f"batch vs 3a ({label})", per_quote / batch, "x", "{:,.0f}")


def fig_python(rep, chain, cfg, sample, batch_result):
    """3c: the same algorithm in plain Python over scipy.optimize.brentq."""
    reps = cfg["reps"]
    sub = chain.take(sample)
    t, rep.raw["python_scipy_s"] = median_time(lambda: peers.python_implied_vols(sub), reps)
    vols = np.array(peers.python_implied_vols(sub))
    per_quote = t / len(sub)
    batch = batch_per_quote(rep, sub, "batch_on_python_sample_s", reps)
    rep.add(
        "3c",
        "python_throughput",
        "plain Python BAW + scipy.optimize.brentq",
        1 / per_quote,
        "quotes/s",
        "{:,.0f}",
        note=f"sample {len(sub)}; max |vol diff| vs ours "
        f"{np.nanmax(np.abs(vols - batch_result[sample])):.1e}; full chain ~"
        f"{per_quote * len(chain):,.1f} s",
    )
    rep.add(
        "3c",
        "batch_vs_python",
        "batch vs 3c (speed ratio)",
        per_quote / batch,
        "x",
        "{:,.0f}",
        note="batch timed on the same quotes",
    )


def fig_american(rep, cfg):
    """8: the accurate model's default setting against BAW, itself and QuantLib's QdFp, on the
    first 3,000 quotes of the book, one worker (bench/american_ratios.py gives every setting)."""
    t = setting_ratios(workload.build_chain(min(cfg["quotes"], 3000)), "default", cfg["reps"])
    rep.add("8", "american_iv_us", "velliq.american.implied_vol per quote", t["iv"], "us", "{:.1f}")
    rep.add("8", "american_iv_vs_baw", "american.implied_vol / baw.implied_vol", t["iv"] / t["baw_iv"], "x", "{:.2f}")
    rep.add(
        "8",
        "american_greeks_vs_price",
        "american.greeks (all five) / american.price",
        t["greeks"] / t["price"],
        "x",
        "{:.2f}",
    )
    if "qdfp" in t:
        ratio = t["qdfp"] / t["price_ql"]
        rep.add("8", "american_price_vs_qdfp", "QdFp accurate scheme / american.price", ratio, "x", "{:.1f}")
    else:
        rep.add(
            "8", "american_price_vs_qdfp", "QdFp accurate scheme / american.price", None, note="QuantLib not installed"
        )
