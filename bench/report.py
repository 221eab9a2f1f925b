"""The report: each measurement as a ratio against its peer, checked against its
target, as a Markdown table and a chart; several hosts' runs combined."""

import json
import os

from common import progress
from measure import THREADED_OPENS

# Not a measurement but a fixed budget: getPixel and putPixel should take at most this a call.
CALL_BUDGET = 50e-9
BUDGET = f"budget of {CALL_BUDGET * 1e9:g} ns"

TARGETS = {
    ("open PNG", "zlib.decompress"): 0.5, ("open PNG", "libdeflate inflate"): 1.30,
    # The large photograph's data barely compresses, so inflating it is most of an open.
    ("open PNG", "zlib.decompress", "4096x2304 RGB"): 0.7,
    ("open PNG", "Pillow"): 0.4, ("open PNG", "pypng"): 1.0,
    ("open PNG, one file again and again", "linked libdeflate inflate"): 1.30,
    ("open PNG, one file again and again", "libdeflate inflate"): 1.30,
    ("save PNG", "zlib.compress"): 1.05,
    ("save PNG, rows unfiltered", "zlib.compress"): 1.05, ("save PNG, rows unfiltered", "pypng"): 1.0,
    ("open BMP", "bytes copy"): 3.0, ("open BMP", "Pillow"): 0.4,
    ("saveBmp", "bytes copy"): 5.0, ("saveBmp", "file write"): 1.25, ("saveBmp", "Pillow"): 0.2,
    ("getPixel", "Pillow px[x, y]"): 1.0, ("getPixel", "Pillow getpixel"): 0.2,
    ("getPixel", BUDGET): 1.0,
    ("putPixel", "Pillow px[x, y]"): 1.0, ("putPixel", "Pillow putpixel"): 0.2,
    ("putPixel", BUDGET): 1.0,
    ("peak memory", "decoded size"): 1.5, ("peak memory", "Pillow"): 1.0,
    ("2 threads / 1 thread", "module"): 0.6,
}
# PyPy's own zlib.decompress is faster against libdeflate than CPython's: its open targets
# against it are looser.
PYPY_TARGETS = {("open PNG", "zlib.decompress"): 0.55}
# In these groups a figure meets its target only if the module's spread (interquartile
# range of its rounds as a share of the median) is at most MAX_SPREAD as well.
MAX_SPREAD = 0.15
SPREAD_CHECKED = {"open PNG", "open PNG, one file again and again"}
# Here only the spread has a target: the collector's schedule, not the work, decides the times.
SPREAD_ONLY = {"open PNG amid pypng decodes"}


def comparisons(results):
    rows = []
    targets = {**TARGETS, **(PYPY_TARGETS if results["host"]["implementation"] == "PyPy" else {})}

    def iqr(group, subject, who, median, scale):
        # The interquartile range as a share of the median; None for a constant such as the decoded size.
        q = results.get("spread", {}).get(group, {}).get(subject, {}).get(who)
        return None if q is None or not median else (q[1] - q[0]) / scale / median

    def add(group, subject, against, mine, theirs, unit, scale=1, who=("module", None)):
        ratio = mine / theirs if theirs else float("inf")
        target = targets.get((group, against, subject), targets.get((group, against)))
        module_iqr = iqr(group, subject, who[0], mine, scale)
        met = None if target is None else ratio <= target
        if met and group in SPREAD_CHECKED and (module_iqr is None or module_iqr > MAX_SPREAD):
            met = False
        if group in SPREAD_ONLY:
            met = module_iqr is not None and module_iqr <= MAX_SPREAD
        rows.append({"group": group, "subject": subject, "against": against, "module": mine, "other": theirs,
                     "unit": unit, "ratio": ratio, "target": target, "met": met,
                     "module_iqr": module_iqr,
                     "other_iqr": iqr(group, subject, who[1] or against, theirs, scale)})

    for group, key in (("open PNG", "open_png"), ("save PNG", "save_png"),
                       ("save PNG, rows unfiltered", "save_png_unfiltered"),
                       ("open PNG amid pypng decodes", "open_png_amid_pypng"),
                       ("open PNG, one file again and again", "open_png_in_a_row")):
        for name, times in results.get(key, {}).items():
            for against in times:
                if against not in ("module", "file bytes"):
                    add(group, name, against, times["module"], times[against], "s")
    name = results["bmp"]["size"]
    for group, key in (("open BMP", "open"), ("saveBmp", "save")):
        times = results["bmp"][key]
        for against in times:
            if against != "module":
                add(group, name, against, times["module"], times[against], "s")
    pixels = results["pixels"]
    for group, key in (("getPixel", "get"), ("putPixel", "put")):
        times = pixels[key]
        for against in sorted(times, key=lambda a: ("list" in a, a)):
            if against != "module":
                add(group, pixels["size"], against, times["module"] / pixels["calls"],
                    times[against] / pixels["calls"], "s/call", scale=pixels["calls"])
        add(group, pixels["size"], BUDGET, times["module"] / pixels["calls"], CALL_BUDGET, "s/call",
            scale=pixels["calls"])
    for name, entry in results["memory"].items():
        add("peak memory", name, "decoded size", entry["module"], entry["decoded"], "B")
        for peer in ("Pillow", "pypng", "pyspng"):
            if peer in entry:
                add("peak memory", name, peer, entry["module"], entry[peer], "B")
    for who, times in results["threads"].items():
        # Spread is kept per library here, under the library's name.
        add("2 threads / 1 thread", who, who, times["2 threads"], times["1 thread"], "s",
            who=("2 threads", "1 thread"))
        rows[-1]["subject"] = f"{THREADED_OPENS} opens"
    return rows


def quantity(value, unit):
    if unit == "B":
        return f"{value / 2**20:.1f} MiB"
    if unit == "s/call":
        return f"{value * 1e9:.0f} ns"
    if value >= 1:
        return f"{value:.2f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    return f"{value * 1e6:.1f} µs"


def ratio_text(ratio):
    # pypng's opens come out below 0.01: two decimals would print them as 0.00.
    return f"{ratio:.2f}" if ratio >= 0.1 else f"{ratio:.2g}"


def steadiness_text(host):
    steady = host.get("steadiness")
    if not steady:
        return ""
    return (f" A fixed loop timed once a round of every race ({steady['samples']} times): "
            f"{steady['median'] * 1e3:.2f} ms, spread {steady['spread']:.0%} (a steady machine: a few percent).")


def markdown(results, rows):
    host = results["host"]
    lines = [
        f"# simpleImage_ext benchmark ({'quick' if results['quick'] else 'full'})",
        "",
        f"{host['implementation']} {host['python']}, Pillow {host['pillow'] or 'absent'}, "
        f"pypng {host.get('pypng') or 'absent'}, pyspng {host.get('pyspng') or 'absent'}, "
        f"deflate (libdeflate) {host.get('deflate') or 'absent'}, {host['cpu']}, "
        f"{host['cores']} cores; inputs: {results['inputs']}; load average {host['load_before']} before, "
        f"{host['load_after']} after.{steadiness_text(host)}",
        "Ratio = module / comparator (for threads: 2 threads / 1 thread of the library named); below 1 the "
        "module is faster or smaller. Every figure is a median; spread is the interquartile range of its "
        "rounds as a share of the median, module / comparator. An open PNG figure meets its target only "
        f"with the module's spread at most {MAX_SPREAD:.0%}.",
        "",
        "| what | image | module | against | comparator | ratio | target | result | spread |",
        "|---|---|---:|---|---:|---:|---:|---|---:|",
    ]
    for row in rows:
        module = quantity(row["module"], row["unit"])
        other = quantity(row["other"], row["unit"])
        if row["group"] == "2 threads / 1 thread":
            module, other = f"2 threads {module}", f"1 thread {other}"
        target = "" if row["target"] is None else f"<= {row['target']:g}"
        if row["group"] in SPREAD_ONLY:
            target = f"spread <= {MAX_SPREAD:.0%}"
        verdict = "" if row["met"] is None else ("met" if row["met"] else "**missed**")
        if row["met"] is False and row["target"] is not None and row["ratio"] <= row["target"]:
            verdict += ": spread"  # the ratio is within the target, the rounds scattered too far
        spread = " / ".join("—" if row.get(k) is None else f"{row[k]:.0%}" for k in ("module_iqr", "other_iqr"))
        lines.append(f"| {row['group']} | {row['subject']} | {module} | {row['against']} | {other} | "
                     f"{ratio_text(row['ratio'])} | {target} | {verdict} | {spread} |")
    pixels = results["pixels"]
    lines += ["", f"Pixel access, full scan of {pixels['size']}, time per call:", "",
              "| contender | getPixel | putPixel |", "|---|---:|---:|"]
    for label, get, put in (("module: getPixel / putPixel", "module", "module"),
                            ("Pillow getpixel / putpixel", "Pillow getpixel", "Pillow putpixel"),
                            ("Pillow px[x, y]", "Pillow px[x, y]", "Pillow px[x, y]"),
                            ("list of tuples", "list of tuples", "list of tuples")):
        if get in pixels["get"]:
            lines.append(f"| {label} | {pixels['get'][get] / pixels['calls'] * 1e9:.0f} ns | "
                         f"{pixels['put'][put] / pixels['calls'] * 1e9:.0f} ns |")
    lines += ["", "Peak memory of one open above the baseline (interpreter and file bytes loaded):", "",
              "| image | decoded (pixels + alpha) | module | module / decoded | Pillow | Pillow / decoded "
              "| pypng | pypng / decoded | pyspng | pyspng / decoded |",
              "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
    for name, entry in results["memory"].items():
        d = entry["decoded"]
        peers = " | ".join(f"{entry[peer] / 2**20:.1f} MiB | {entry[peer] / d:.2f}" if peer in entry else "— | —"
                           for peer in ("Pillow", "pypng", "pyspng"))
        lines.append(f"| {name} | {d / 2**20:.1f} MiB | {entry['module'] / 2**20:.1f} MiB | "
                     f"{entry['module'] / d:.2f} | {peers} |")
    sizes = results.get("save_png_sizes", {})
    if sizes:
        lines += ["", "Size of the saved PNG (pypng writes every row unfiltered):", "",
                  "| image | module | Pillow | pypng |", "|---|---:|---:|---:|"]
        for name, entry in sizes.items():
            lines.append(f"| {name} | " + " | ".join(f"{entry[who] / 1e3:,.0f} kB" if who in entry else "—"
                                                     for who in ("module", "Pillow", "pypng")) + " |")
    return "\n".join(lines) + "\n"


def row_key(row):
    return row["group"], row["subject"], row["against"]


def merged_keys(runs):
    """Every comparison of the runs once, in the first run's order; a comparison only a
    later run has goes after the last of its group."""
    keys = []
    for _, rows in runs:
        for row in rows:
            key = row_key(row)
            if key in keys:
                continue
            same_group = [i for i, k in enumerate(keys) if k[0] == key[0]]
            keys.insert(same_group[-1] + 1 if same_group else len(keys), key)
    return keys


def host_label(results):
    host = results["host"]
    return f"{host['implementation']} {host['python']}{' (quick)' if results['quick'] else ''}"


def chart(runs, path):
    """Draws the ratios of one or more runs, [(results, rows)], as panels side by side."""
    try:
        import matplotlib
    except ImportError:
        progress("matplotlib is missing: no chart")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D
    from matplotlib.patches import Patch

    colours = {True: "#2e7d32", False: "#c62828", None: "#9e9e9e"}
    keys = merged_keys(runs)
    n = len(keys)
    ys = list(range(n - 1, -1, -1))
    # One scale for every panel, so that bars compare across hosts.
    values = [1.0] + [v for _, rows in runs for row in rows for v in (row["ratio"], row["target"]) if v]
    xlim = (min(values) / 1.8, max(values) * 1.8)
    fig, axes = plt.subplots(1, len(runs), figsize=(5.2 + 5.8 * len(runs), 0.3 * n + 1.8), sharey=True,
                             squeeze=False)
    for ax, (results, rows) in zip(axes[0], runs):
        by_key = {row_key(row): row for row in rows}
        shown = [(y, by_key[key]) for y, key in zip(ys, keys) if key in by_key]
        # Bars grow from parity: leftwards the module is faster or smaller.
        ax.barh([y for y, _ in shown], [row["ratio"] - 1 for _, row in shown], left=1, height=0.68,
                color=[colours[row["met"]] for _, row in shown])
        ax.set_xscale("log")
        ax.axvline(1.0, color="black", linewidth=1.2)
        for y, row in shown:
            if row["target"] is not None:
                ax.plot([row["target"]] * 2, [y - 0.45, y + 0.45], color="black", linewidth=2.2)
        for i in range(1, n):
            if keys[i][0] != keys[i - 1][0]:
                ax.axhline(ys[i] + 0.5, color="#cccccc", linewidth=0.8)
        ax.set_xlim(*xlim)
        ax.set_ylim(-0.7, n - 0.3)
        ax.grid(axis="x", which="both", color="#eeeeee")
        ax.set_axisbelow(True)
        ax.set_xlabel("module / comparator (log scale; left of 1: module faster or smaller)", fontsize=8)
        ax.set_title(host_label(results), fontsize=10)
        # The numbers stand in a column of their own on the right, clear of the bars.
        right = ax.twinx()
        right.set_ylim(ax.get_ylim())
        right.set_yticks(ys)
        texts, tones = [], []
        for key in keys:
            row = by_key.get(key)
            if row is None:
                texts.append("—")
                tones.append("black")
                continue
            verdict = "" if row["target"] is None else f"  {'met' if row['met'] else 'MISSED'} (<= {row['target']:g})"
            if row["group"] in SPREAD_ONLY:
                verdict = f"  spread {'met' if row['met'] else 'MISSED'} (<= {MAX_SPREAD:.0%})"
            elif row["met"] is False and row["ratio"] <= row["target"]:
                verdict += ", spread"
            texts.append(f"{ratio_text(row['ratio'])}{verdict}")
            tones.append(colours[row["met"]] if row["met"] is not None else "black")
        right.set_yticklabels(texts, fontsize=8)
        for tick, tone in zip(right.get_yticklabels(), tones):
            tick.set_color(tone)
        right.tick_params(axis="y", length=0)
    labels = [f"{subject} on {group}: {against}" if group == "2 threads / 1 thread"
              else f"{group}  {subject}  vs {against}" for group, subject, against in keys]
    axes[0][0].set_yticks(ys)
    axes[0][0].set_yticklabels(labels, fontsize=8)
    fig.suptitle("simpleImage_ext ratios" + (f", {host_label(runs[0][0])}" if len(runs) == 1 else ""), fontsize=11)
    fig.legend(handles=[Patch(color=colours[True], label="target met"),
                        Patch(color=colours[False], label="target missed"),
                        Patch(color=colours[None], label="no target"),
                        Line2D([], [], color="black", linewidth=2.2, label="target")],
               loc="upper center", bbox_to_anchor=(0.5, 0.975), ncol=4, fontsize=8, frameon=False)
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


def combine(paths, out):
    """One chart and one Markdown file of several hosts' results.json, in the order given."""
    runs = []
    for path in paths:
        with open(path) as f:
            results = json.load(f)
        runs.append((results, results["comparisons"]))
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "results.md"), "w", encoding="utf-8") as f:
        f.write("\n".join(markdown(results, rows) for results, rows in runs))
    if not chart(runs, os.path.join(out, "ratios.png")):
        return 1
    progress(f"{', '.join(host_label(r) for r, _ in runs)}: {out}/ratios.png and results.md")
    return 0
