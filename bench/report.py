"""Renders the benchmark results as a Markdown table and a PNG plot."""
from __future__ import annotations

import os

VOSTREL = "Vostrel"
PEER_TARGET = 1.0          # the workloads of AT_PEER_WORKLOADS no slower than the best peer
AT_PEER_WORKLOADS = ("rare_eq", "view_rebase")
FLOOR_TARGET = 2.0         # queries of FLOOR_MIN_K results or more within this factor of the floor
FLOOR_MIN_K = 1000
BUILD_TARGET = 3.0         # build this many times faster than sqlite3 and the hand index
WRITE_TARGET = BUILD_TARGET  # rebase, union and removal build or unbuild an index: as the build
WRITE_PEERS = ("sqlite3", "hand index")  # the peers those targets name
ASSIGN_PEER = "hand index"  # assignment within a factor of this peer's: ASSIGN_TARGET, or the
ASSIGN_TARGET = 2.0          # attribute's own in ASSIGN_TARGETS
ASSIGN_TARGETS = {"colour": 1.0}
READ_TARGET = 2.0          # reading an attribute within this factor of reading a plain object's
MEMORY_TARGET = 0.6        # memory per record at most this share of the hand index's
THREADS_TARGET = 1.6       # two threads reach this multiple of one thread's throughput
BUILDS_AN_INDEX = ("view_rebase",)  # beside the list floor only for scale: these build an index
PLAIN = "plain objects"    # the read loop's floor, in the read row's times


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


def cell(row: dict, s: str) -> str:
    """A system's time in a row: "—" where it offers no such operation, "n/a" where the built
    module lacks it, "err" where it failed."""
    if s in row["times"]:
        return ms(row["times"][s])
    if s in row.get("unavailable", {}):
        return "n/a"
    return "err" if s in row.get("missing", {}) else "—"


# The targets of each kind of row: (its text, whether it is met or None when not measured).

def query_target(w: str, row: dict):
    v = row["times"].get(VOSTREL)
    _, btime = best_peer(row["times"])
    oks, text = [], []
    if w in AT_PEER_WORKLOADS:
        text.append(f"÷ best ≤ {PEER_TARGET:g}")
        if v is not None and btime:
            oks.append(v <= PEER_TARGET * btime)
    if row["k"] >= FLOOR_MIN_K and w not in BUILDS_AN_INDEX and "floor" in row:
        text.append(f"÷ floor ≤ {FLOOR_TARGET:g}")
        if v is not None and row.get("floor"):
            oks.append(v <= FLOOR_TARGET * row["floor"])
    return ", ".join(text) or "—", (all(oks) if oks and v is not None else None)


def write_target(times: dict, target: float = WRITE_TARGET):
    v = times.get(VOSTREL)
    others = [times.get(p) for p in WRITE_PEERS]
    ok = None if v is None or None in others else all(v * target <= o for o in others)
    return f"÷ {' and ÷ '.join(WRITE_PEERS)} ≤ {1 / target:.2f}", ok


def read_target(row: dict):
    v, plain = row["times"].get(VOSTREL), row["times"].get(PLAIN)
    return f"÷ plain ≤ {READ_TARGET:g}", (None if v is None or not plain else v <= READ_TARGET * plain)


def assign_target(attr: str, row: dict):
    v, peer = row["times"].get(VOSTREL), row["times"].get(ASSIGN_PEER)
    target = ASSIGN_TARGETS.get(attr, ASSIGN_TARGET)
    return f"÷ {ASSIGN_PEER} ≤ {target:g}", (None if v is None or not peer else v <= target * peer)


def memory_target(mem: dict):
    hand, v = mem.get("hand index"), mem.get(VOSTREL)
    ok = None if not hand or v is None else v <= MEMORY_TARGET * hand
    return f"÷ hand index ≤ {MEMORY_TARGET:g}", ok


def threads_target(t: dict):
    return f"≥ {THREADS_TARGET:g}", t["2"] >= THREADS_TARGET * t["1"]


def scaled_up(timed: dict) -> str:
    """Which systems were timed on their first items only (name -> items) and scaled up."""
    return ", ".join(f"{s} timed on the first {k:,}" for s, k in timed.items()) + ", then scaled up"


def unavailable_note(rows: dict) -> list[str]:
    """One line naming what the built module lacks, if anything."""
    what: dict = {}
    for row in rows.values():
        for s, e in row.get("unavailable", {}).items():
            what.setdefault(s, []).append(e.removeprefix("not available: "))
    return ["", "n/a: not available in the built module: " +
            "; ".join(f"{s}: {', '.join(dict.fromkeys(es))}" for s, es in what.items()) + "."] if what else []


def missing_note(rows: dict) -> list[str]:
    missing: dict = {}
    for w, row in rows.items():
        for s, e in row.get("missing", {}).items():
            missing.setdefault((s, e[:100]), []).append(w)
    if not missing:
        return []
    return ["", "Not answered (err): " + "; ".join(f"{s}: {', '.join(ws)} ({e})"
                                                  for (s, e), ws in missing.items())]


def run_tables(run) -> list[str]:
    n, names = run["n"], systems_of(run)
    out = [f"### N = {n:,}", ""]
    if run["unavailable"]:
        out += ["Not run here: " + "; ".join(f"{k} ({v})" for k, v in run["unavailable"].items()), ""]
    out += ["Query medians in ms; ratios are Vostrel's time divided by the other "
            f"(targets: {', '.join(AT_PEER_WORKLOADS)} no slower than the best peer; ≤ {FLOOR_TARGET:g}× "
            f"the floor when k ≥ {FLOOR_MIN_K:,}).", ""]
    out.append("| workload | k | " + " | ".join(names) + " | floor | best peer | V ÷ best | V ÷ floor | targets met |")
    out.append("|---|---:|" + "---:|" * len(names) + "---:|---|---:|---:|---|")
    for w, row in run["queries"].items():
        bname, btime = best_peer(row["times"])
        v = row["times"].get(VOSTREL)
        _, ok = query_target(w, row)
        out.append(f"| {w} | {row['k']:,} | " + " | ".join(cell(row, s) for s in names) +
                   f" | {ms(row.get('floor'))} | {bname or 'n/a'} | {ratio(v, btime)} | "
                   f"{ratio(v, row.get('floor'))} | {verdict(ok)} |")
    out += missing_note(run["queries"])

    ops = run.get("ops", {})
    if ops:
        out += ["", "View operations, ms: k is the number of records in the view; each call makes "
                "the view and answers from it (count: `len(view)`, a peer's count or the length of "
                "its result list; sorted_by: the 10 smallest scores; value_counts: the colours' "
                f"counts). V ÷ collect compares "
                "`len(view)` with `len(view.collect())`.", "",
                "| workload | k | " + " | ".join(names) + " | Vostrel len(collect()) | best peer | "
                "V ÷ best | V ÷ collect |",
                "|---|---:|" + "---:|" * len(names) + "---:|---|---:|---:|"]
        for w, row in ops.items():
            bname, btime = best_peer(row["times"])
            v = row["times"].get(VOSTREL)
            out.append(f"| {w} | {row['k']:,} | " + " | ".join(cell(row, s) for s in names) +
                       f" | {ms(row.get('collect')) if 'collect' in row else '—'} | {bname or 'n/a'} | "
                       f"{ratio(v, btime)} | {ratio(v, row.get('collect'))} |")
        out += unavailable_note(ops) + missing_note(ops)

    b = {k: x for k, x in run["build"].items() if k != "scan"}  # a list needs no building
    v = b.get(VOSTREL)
    _, ok = write_target(b, BUILD_TARGET)
    out += ["", "Build (adding all records), seconds:", "",
            "| " + " | ".join(b) + " | V ÷ sqlite3 | V ÷ hand index | target met |",
            "|" + "---:|" * len(b) + "---:|---:|---|",
            "| " + " | ".join(f"{x:.3f}" for x in b.values()) +
            f" | {ratio(v, b.get('sqlite3'))} | {ratio(v, b.get('hand index'))} | {verdict(ok)} |"]

    read = run.get("read")
    if read and read.get("times"):
        text, ok = read_target(read)
        out += ["", f"Reading one attribute (`r.{read['attr']}`) of {read['k']:,} random records in a "
                "loop, ms; Vostrel's records are in one index, the floor reads ordinary objects:", "",
                f"| attribute | {PLAIN} | Vostrel | V ÷ plain | target | met |", "|---|---:|---:|---:|---|---|",
                f"| {read['attr']} | {ms(read['times'].get(PLAIN))} | {ms(read['times'].get(VOSTREL))} | "
                f"{ratio(read['times'].get(VOSTREL), read['times'].get(PLAIN))} | {text} | {verdict(ok)} |"]

    out += ["", f"{min(100_000, n):,} assignments, ms (indexed systems update their index; the floor is "
            f"a plain setattr loop on ordinary objects; targets: ≤ {ASSIGN_TARGET:g}× the {ASSIGN_PEER}'s, "
            + ", ".join(f"{a} ≤ {t:g}×" for a, t in ASSIGN_TARGETS.items()) + "):", ""]
    anames = [s for s in names if any(s in r["times"] for r in run["assign"].values())]
    out += ["| attribute | " + " | ".join(anames) + f" | setattr floor | V ÷ floor | V ÷ {ASSIGN_PEER} | target met |",
            "|---|" + "---:|" * len(anames) + "---:|---:|---:|---|"]
    notes = []
    for attr, row in run["assign"].items():
        if row.get("extrapolated"):
            notes.append(f"{attr}: {scaled_up(row['extrapolated'])}.")
        v = row["times"].get(VOSTREL)
        _, ok = assign_target(attr, row)
        out.append(f"| {attr} | " + " | ".join(ms(row["times"].get(s)) for s in anames) +
                   f" | {ms(row['floor'])} | {ratio(v, row['floor'])} | "
                   f"{ratio(v, row['times'].get(ASSIGN_PEER))} | {verdict(ok)} |")
    if notes:
        out += ["", " ".join(notes)]

    writes = run.get("writes", {})
    if writes:
        wnames = [s for s in names if any(s in r["times"] or s in r.get("unavailable", {})
                                          for r in writes.values())]
        out += ["", "Writes, ms (rebase: a new index of the records of a view of about 10%; union: "
                "two new indexes of half the records each, the second merged into the first, the "
                "two built untimed; remove: a tenth of the records taken out of each system's index, "
                "timed once). Target: each ≤ "
                f"{1 / WRITE_TARGET:.2f} of {' and '.join(WRITE_PEERS)}.", "",
                "| workload | k | " + " | ".join(wnames) + " | best peer | V ÷ best | " +
                " | ".join(f"V ÷ {p}" for p in WRITE_PEERS) + " | target met |",
                "|---|---:|" + "---:|" * len(wnames) + "---|---:|" + "---:|" * len(WRITE_PEERS) + "---|"]
        for w, row in writes.items():
            bname, btime = best_peer(row["times"])
            v = row["times"].get(VOSTREL)
            _, ok = write_target(row["times"])
            out.append(f"| {w} | {row['k']:,} | " + " | ".join(cell(row, s) for s in wnames) +
                       f" | {bname or 'n/a'} | {ratio(v, btime)} | " +
                       " | ".join(ratio(v, row["times"].get(p)) for p in WRITE_PEERS) +
                       f" | {verdict(ok)} |")
        out += unavailable_note(writes) + missing_note(writes)
        for w, row in writes.items():
            if row.get("extrapolated"):
                out += ["", f"{w}: {scaled_up(row['extrapolated'])}."]

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
            out.append(f"\nTwo-thread target ({THREADS_TARGET}×) met: {verdict(threads_target(t)[1])}")

    if run["memory"]:
        out += memory_table(run["memory"], "Memory per record (records + index, growth of the "
                            "resident set), bytes:")
    return out + [""]


def memory_table(m: dict, title: str) -> list[str]:
    v, hand = m.get(VOSTREL), m.get("hand index")
    _, ok = memory_target(m)
    return ["", title, "",
            "| " + " | ".join(m) + " | V ÷ hand index | target met |",
            "|" + "---:|" * len(m) + "---:|---|",
            "| " + " | ".join("n/a" if x is None else f"{x:.0f}" for x in m.values()) +
            f" | {ratio(v, hand)} | {verdict(ok)} |"]


def memory_big_tables(big: dict) -> list[str]:
    out = [f"### Memory at N = {big['n']:,}", ""]
    if big.get("bytes"):
        out += memory_table(big["bytes"], "Bytes per record (records + index, growth of the resident "
                            "set, each system in a process of its own):")[1:]
    if big.get("skipped"):
        out += ["", "Not measured: " + "; ".join(f"{k} ({v})" for k, v in big["skipped"].items()) + "."]
    return out + [""]


def markdown(results) -> str:
    m, ver = results["machine"], results["versions"]
    out = ["# Benchmark results", "",
           f"Machine: {m['cpu']}, {m['cores']} cores; Python {m['python']}; {m['platform']}.  ",
           f"CRoaring {m['croaring']} ({m.get('croaring_source', 'source unknown')}), "
           f"SIMD path: {m['croaring_simd']}.  ",
           "Versions: " + ", ".join(f"{k} {v or 'not installed'}" for k, v in ver.items()) + ".  ",
           "List-building floor: " + results["runs"][0].get("floor_kind", "?") +
           " building the list of the k result records from a C array of their ids.", ""]
    for run in results["runs"]:
        out += run_tables(run)
    if results.get("memory_big"):
        out += memory_big_tables(results["memory_big"])
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
        rows = {**run["queries"], **run.get("ops", {})}
        work = list(rows)
        width = 0.8 / (len(names) + 1)
        for j, s in enumerate(names + ["floor"]):
            ys = [(rows[w]["times"].get(s) if s != "floor" else rows[w].get("floor")) for w in work]
            xs = [i + j * width for i in range(len(work))]
            ax.bar([x for x, y in zip(xs, ys) if y], [y * 1e3 for y in ys if y], width, label=s)
        ax.set_yscale("log")
        ax.set_ylabel("median ms (log)")
        ax.set_xticks([i + 0.4 for i in range(len(work))], work, rotation=20)
        ax.set_title(f"Query workloads and view operations, N = {run['n']:,}")
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
    """The short table of the README: the largest run, Vostrel beside the best peer and the floor,
    with each row's target and whether it is met."""
    run = max(results["runs"], key=lambda r: r["n"])
    m = results["machine"]
    out = [f"N = {run['n']:,} records; {m['cpu']}, {m['cores']} cores; Python {m['python']}; "
           f"CRoaring {m['croaring']} ({m.get('croaring_source', 'source unknown')}; "
           f"{m['croaring_simd']}).", "",
           "| workload | k | best peer | best peer ms | Vostrel ms | V ÷ best | V ÷ floor | target | met |",
           "|---|---:|---|---:|---:|---:|---:|---|---|"]

    def line(w, k, bname, bms, vms, r_best, r_floor, target):
        text, ok = target
        k = f"{k:,}" if isinstance(k, int) else k
        out.append(f"| {w} | {k} | {'n/a' if bname is None else bname} | {bms} | {vms} | {r_best} | {r_floor} | "
                   f"{text} | {verdict(ok)} |")

    for w, row in run["queries"].items():
        bname, btime = best_peer(row["times"])
        v = row["times"].get(VOSTREL)
        line(w, row["k"], bname, ms(btime), ms(v), ratio(v, btime), ratio(v, row.get("floor")),
             query_target(w, row))
    for w, row in run.get("ops", {}).items():
        bname, btime = best_peer(row["times"])
        v = row["times"].get(VOSTREL)
        shown = ms(v) if v is not None or VOSTREL not in row.get("unavailable", {}) else "not available"
        collect = f"{ratio(v, row['collect'])} (collect)" if row.get("collect") else ""
        line(w, row["k"], bname, ms(btime), shown, ratio(v, btime), collect, ("—", None))
    b = run["build"]
    if VOSTREL in b:
        line("build", run["n"], "sqlite3 / hand index", f"{ms(b.get('sqlite3'))} / {ms(b.get('hand index'))}",
             ms(b[VOSTREL]), f"{ratio(b[VOSTREL], b.get('sqlite3'))} / {ratio(b[VOSTREL], b.get('hand index'))}",
             "", write_target(b, BUILD_TARGET))
    read = run.get("read")
    if read and VOSTREL in read.get("times", {}):
        v, plain = read["times"][VOSTREL], read["times"].get(PLAIN)
        line(f"read {read['attr']}", read["k"], PLAIN, ms(plain), ms(v), ratio(v, plain),
             f"{ratio(v, plain)} (plain)", read_target(read))
    for attr, row in run["assign"].items():
        v = row["times"].get(VOSTREL)
        bname, btime = best_peer(row["times"])
        line(f"assign {attr}", min(100_000, run["n"]), bname, ms(btime), ms(v), ratio(v, btime),
             f"{ratio(v, row['floor'])} (setattr)", assign_target(attr, row))
    for w, row in run.get("writes", {}).items():
        v = row["times"].get(VOSTREL)
        bname, btime = best_peer(row["times"])
        shown = ms(v) if v is not None or VOSTREL not in row.get("unavailable", {}) else "not available"
        line(w, row["k"], bname, ms(btime), shown, ratio(v, btime), "", write_target(row["times"]))
    mem = run["memory"]
    if mem.get(VOSTREL) and mem.get("hand index"):
        line("bytes per record", "", "hand index", f"{mem['hand index']:.0f}", f"{mem[VOSTREL]:.0f}",
             ratio(mem[VOSTREL], mem["hand index"]), "", memory_target(mem))
    big = results.get("memory_big") or {}
    bm = big.get("bytes", {})
    if bm.get(VOSTREL) and bm.get("hand index"):
        line(f"bytes per record at {big['n']:,}", "", "hand index", f"{bm['hand index']:.0f}",
             f"{bm[VOSTREL]:.0f}", ratio(bm[VOSTREL], bm["hand index"]), "", memory_target(bm))
    t = run["throughput"].get(VOSTREL)
    if t:
        line("query mix, 2 threads ÷ 1", "", "", "", "", f"{t['2'] / t['1']:.2f}", "", threads_target(t))
    tv = run.get("throughput_views")
    if tv:
        line("query mix as views, 2 threads ÷ 1", "", "", "", "", f"{tv['2'] / tv['1']:.2f}", "",
             (f"≥ {THREADS_TARGET:g}", tv["2"] >= THREADS_TARGET * tv["1"]))
    return "\n".join(out) + "\n"
