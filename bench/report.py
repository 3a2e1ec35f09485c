"""Renders the benchmark results as a Markdown table and a PNG plot."""
from __future__ import annotations

import os

VOSTREL = "Vostrel"
QUERY_TARGET = 5.0         # every query at least this many times faster than the best peer
FLOOR_TARGET = 2.0         # queries of FLOOR_MIN_K results or more within this factor of the floor
FLOOR_MIN_K = 1000
BUILD_TARGET = 4.0         # build this many times faster than sqlite3 and the hand index
ASSIGN_TARGET = 2.0        # assignment within this factor of a plain setattr loop
MEMORY_TARGET = 0.6        # memory per record at most this share of the hand index's
THREADS_TARGET = 1.6       # two threads reach this multiple of one thread's throughput
BUILDS_AN_INDEX = ("view_rebase",)  # beside the list floor only for scale: these build an index


def ms(t) -> str:
    if t is None:
        return "n/a"
    return f"{t * 1e3:.3g}" if t * 1e3 < 100 else f"{t * 1e3:.0f}"


def ratio(a, b) -> str:
    return "n/a" if a is None or not b else f"{a / b:.2f}"


def best_peer(times: dict):
    peers = {k: v for k, v in times.items() if k != VOSTREL}
    if not peers:
        return None, None
    name = min(peers, key=peers.get)
    return name, peers[name]


def verdict(ok) -> str:
    return "n/a" if ok is None else ("yes" if ok else "**no**")


def systems_of(run) -> list[str]:
    names: list[str] = []
    for part in ("build",):
        names += [k for k in run[part] if k not in names]
    return names


def run_tables(run) -> list[str]:
    n, names = run["n"], systems_of(run)
    out = [f"### N = {n:,}", ""]
    if run["unavailable"]:
        out += ["Not run here: " + "; ".join(f"{k} ({v})" for k, v in run["unavailable"].items()), ""]
    out += ["Query medians in ms; ratios are Vostrel's time divided by the other "
            f"(targets: ≤ {1 / QUERY_TARGET:.1f} of the best peer; ≤ {FLOOR_TARGET:g}× the floor "
            f"when k ≥ {FLOOR_MIN_K:,}).", ""]
    out.append("| workload | k | " + " | ".join(names) + " | floor | best peer | V ÷ best | V ÷ floor | targets met |")
    out.append("|---|---:|" + "---:|" * len(names) + "---:|---|---:|---:|---|")
    for w, row in run["queries"].items():
        t = row["times"]
        bname, btime = best_peer(t)
        v = t.get(VOSTREL)
        oks = []
        if v is not None and btime:
            oks.append(v * QUERY_TARGET <= btime)
        if v is not None and row["k"] >= FLOOR_MIN_K and row.get("floor") and w not in BUILDS_AN_INDEX:
            oks.append(v <= FLOOR_TARGET * row["floor"])
        cells = [ms(t.get(s)) if s in t else ("—" if s not in row["missing"] else "err") for s in names]
        out.append(f"| {w} | {row['k']:,} | " + " | ".join(cells) +
                   f" | {ms(row.get('floor'))} | {bname or 'n/a'} | {ratio(v, btime)} | "
                   f"{ratio(v, row.get('floor'))} | {verdict(all(oks) if oks else None)} |")
    missing: dict = {}
    for w, row in run["queries"].items():
        for s, e in row["missing"].items():
            missing.setdefault((s, e[:100]), []).append(w)
    if missing:
        out += ["", "Not answered (err): " + "; ".join(f"{s}: {', '.join(ws)} ({e})"
                                                      for (s, e), ws in missing.items())]

    b = {k: x for k, x in run["build"].items() if k != "scan"}  # a list needs no building
    v = b.get(VOSTREL)
    others = [b.get("sqlite3"), b.get("hand index")]
    ok = None if v is None or None in others else all(v * BUILD_TARGET <= o for o in others)
    out += ["", "Build (adding all records), seconds:", "",
            "| " + " | ".join(b) + " | V ÷ sqlite3 | V ÷ hand index | target met |",
            "|" + "---:|" * len(b) + "---:|---:|---|",
            "| " + " | ".join(f"{x:.3f}" for x in b.values()) +
            f" | {ratio(v, b.get('sqlite3'))} | {ratio(v, b.get('hand index'))} | {verdict(ok)} |"]

    out += ["", f"{min(100_000, n):,} assignments, ms (indexed systems update their index; the floor is "
            "a plain setattr loop on ordinary objects):", ""]
    anames = [s for s in names if any(s in r["times"] for r in run["assign"].values())]
    out += ["| attribute | " + " | ".join(anames) + " | setattr floor | V ÷ floor | target met |",
            "|---|" + "---:|" * len(anames) + "---:|---:|---|"]
    notes = []
    for attr, row in run["assign"].items():
        if row.get("extrapolated"):
            notes.append(f"{attr}: " + ", ".join(row["extrapolated"]) +
                         " timed on the first 5,000 assignments and scaled up.")
        v = row["times"].get(VOSTREL)
        ok = None if v is None else v <= ASSIGN_TARGET * row["floor"]
        out.append(f"| {attr} | " + " | ".join(ms(row["times"].get(s)) for s in anames) +
                   f" | {ms(row['floor'])} | {ratio(v, row['floor'])} | {verdict(ok)} |")
    if notes:
        out += ["", " ".join(notes)]

    if run["throughput"]:
        out += ["", "Throughput of the query mix, queries per second:", "",
                "| system | 1 thread | 2 threads | 2 ÷ 1 |", "|---|---:|---:|---:|"]
        for s, t in run["throughput"].items():
            out.append(f"| {s} | {t['1']:.0f} | {t['2']:.0f} | {t['2'] / t['1']:.2f} |")
        tv = run.get("throughput_views")
        if tv:
            out.append(f"| Vostrel, the mix as views (evaluation only, no result lists) | {tv['1']:.0f} | "
                       f"{tv['2']:.0f} | {tv['2'] / tv['1']:.2f} |")
        t = run["throughput"].get(VOSTREL)
        if t:
            out.append(f"\nTwo-thread target ({THREADS_TARGET}×) met: {verdict(t['2'] >= THREADS_TARGET * t['1'])}")

    if run["memory"]:
        m = run["memory"]
        hand, v = m.get("hand index"), m.get(VOSTREL)
        ok = None if not hand or v is None else v <= MEMORY_TARGET * hand
        out += ["", "Memory per record (records + index, growth of the resident set), bytes:", "",
                "| " + " | ".join(m) + " | V ÷ hand index | target met |",
                "|" + "---:|" * len(m) + "---:|---|",
                "| " + " | ".join("n/a" if x is None else f"{x:.0f}" for x in m.values()) +
                f" | {ratio(v, hand)} | {verdict(ok)} |"]
    return out + [""]


def markdown(results) -> str:
    m, ver = results["machine"], results["versions"]
    out = ["# Benchmark results", "",
           f"Machine: {m['cpu']}, {m['cores']} cores; Python {m['python']}; {m['platform']}.  ",
           f"CRoaring {m['croaring']}, SIMD path: {m['croaring_simd']}.  ",
           "Versions: " + ", ".join(f"{k} {v or 'not installed'}" for k, v in ver.items()) + ".  ",
           "List-building floor: " + results["runs"][0].get("floor_kind", "?") +
           " building the list of the k result records from a C array of their ids.", ""]
    for run in results["runs"]:
        out += run_tables(run)
    return "\n".join(out)


def plot(results, path: str) -> bool:
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    runs = results["runs"]
    fig, axes = plt.subplots(len(runs), 1, figsize=(13, 4.8 * len(runs)), squeeze=False)
    for ax, run in zip(axes[:, 0], runs):
        names = systems_of(run)
        work = list(run["queries"])
        width = 0.8 / (len(names) + 1)
        for j, s in enumerate(names + ["floor"]):
            ys = [(run["queries"][w]["times"].get(s) if s != "floor" else run["queries"][w].get("floor"))
                  for w in work]
            xs = [i + j * width for i in range(len(work))]
            ax.bar([x for x, y in zip(xs, ys) if y], [y * 1e3 for y in ys if y], width, label=s)
        ax.set_yscale("log")
        ax.set_ylabel("median ms (log)")
        ax.set_xticks([i + 0.4 for i in range(len(work))], work, rotation=20)
        ax.set_title(f"Query workloads, N = {run['n']:,}")
        ax.legend(fontsize=8, ncol=4)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def write(results, out_dir: str) -> None:
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write(markdown(results))
    with open(os.path.join(out_dir, "summary.md"), "w") as f:
        f.write(summary(results))
    plot(results, os.path.join(out_dir, "results.png"))


def summary(results) -> str:
    """The short table of the README: the largest run, Vostrel beside the best peer and the floor."""
    run = max(results["runs"], key=lambda r: r["n"])
    m = results["machine"]
    out = [f"N = {run['n']:,} records; {m['cpu']}, {m['cores']} cores; Python {m['python']}; "
           f"CRoaring {m['croaring']} ({m['croaring_simd']}).", "",
           "| workload | k | best peer | best peer ms | Vostrel ms | V ÷ best | V ÷ floor |",
           "|---|---:|---|---:|---:|---:|---:|"]
    for w, row in run["queries"].items():
        bname, btime = best_peer(row["times"])
        v = row["times"].get(VOSTREL)
        out.append(f"| {w} | {row['k']:,} | {bname or 'n/a'} | {ms(btime)} | {ms(v)} | "
                   f"{ratio(v, btime)} | {ratio(v, row.get('floor'))} |")
    b = run["build"]
    if VOSTREL in b:
        out.append(f"| build | {run['n']:,} | sqlite3 / hand index | {ms(b.get('sqlite3'))} / "
                   f"{ms(b.get('hand index'))} | {ms(b[VOSTREL])} | {ratio(b[VOSTREL], b.get('sqlite3'))} / "
                   f"{ratio(b[VOSTREL], b.get('hand index'))} | |")
    for attr, row in run["assign"].items():
        v = row["times"].get(VOSTREL)
        bname, btime = best_peer(row["times"])
        out.append(f"| assign {attr} | {min(100_000, run['n']):,} | {bname or 'n/a'} | {ms(btime)} | "
                   f"{ms(v)} | {ratio(v, btime)} | {ratio(v, row['floor'])} (setattr) |")
    mem = run["memory"]
    if mem.get(VOSTREL) and mem.get("hand index"):
        out.append(f"| bytes per record | | hand index | {mem['hand index']:.0f} | {mem[VOSTREL]:.0f} | "
                   f"{ratio(mem[VOSTREL], mem['hand index'])} | |")
    t = run["throughput"].get(VOSTREL)
    if t:
        out.append(f"| query mix, 2 threads ÷ 1 | | | | | {t['2'] / t['1']:.2f} | |")
    tv = run.get("throughput_views")
    if tv:
        out.append(f"| query mix as views, 2 threads ÷ 1 | | | | | {tv['2'] / tv['1']:.2f} | |")
    return "\n".join(out) + "\n"
