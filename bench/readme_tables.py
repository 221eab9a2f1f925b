"""The README's performance tables, from the results.json of each host that bench/run.sh made.

    python bench/readme_tables.py build/bench/results/cp310/results.json build/bench/results/pypy3/results.json
"""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import quantity, ratio_text  # noqa: E402

PHOTO, ALPHA, LARGE = "1920x1280 RGB", "1920x1280 RGBA", "4096x2304 RGB"


def table(results):
    spread = results["spread"]

    def mine(group, subject, seconds, scale=1):
        q = spread.get(group, {}).get(subject, {}).get("module")
        plus = f" ±{(q[1] - q[0]) / scale / seconds:.0%}" if q else ""
        return f"{quantity(seconds, 's')}{plus}"

    def versus(times, who, label=""):
        if who not in times:
            return "—"
        return f"{label}{quantity(times[who], 's')} ({ratio_text(times['module'] / times[who])}x)"

    rows = []
    opens, saves, plain = results["open_png"], results["save_png"], results["save_png_unfiltered"]
    for task, name in (("open a 1920x1280 RGB photo PNG from bytes", PHOTO),
                       ("the same with an alpha gradient (RGBA)", ALPHA), ("open a 4096x2304 RGB PNG", LARGE)):
        t = opens[name]
        floors = ", ".join(f for f in (versus(t, "zlib.decompress", "`zlib.decompress` "),
                                       versus(t, "libdeflate inflate", "libdeflate "),
                                       versus(t, "linked libdeflate inflate", "linked libdeflate ")) if f != "—")
        rows.append((task, mine("open PNG", name, t["module"]), versus(t, "Pillow"), versus(t, "pyspng"),
                     versus(t, "pypng"), floors))
    for task, name in (("save the opened 1920x1280 RGB PNG (its filters, chunks, IDAT sizes)", PHOTO),
                       ("the same, RGBA", ALPHA), ("save the opened 4096x2304 PNG", LARGE)):
        t = saves[name]
        rows.append((task, mine("save PNG", name, t["module"]), versus(t, "Pillow"), "—", versus(t, "pypng"),
                     versus(t, "zlib.compress", "`zlib.compress` ")))
    for task, name in (("save the 1920x1280 RGB rows unfiltered, as pypng writes them", PHOTO),
                       ("the same, RGBA", ALPHA), ("the 4096x2304 rows unfiltered", LARGE)):
        t = plain[name]
        rows.append((task, mine("save PNG, rows unfiltered", name, t["module"]), "—", "—", versus(t, "pypng"),
                     versus(t, "zlib.compress")))
    bmp = results["bmp"]
    rows.append((f"open a {bmp['size']} BMP", mine("open BMP", bmp["size"], bmp["open"]["module"]),
                 versus(bmp["open"], "Pillow"), "—", "—", versus(bmp["open"], "bytes copy")))
    rows.append(("save it as BMP", mine("saveBmp", bmp["size"], bmp["save"]["module"]), versus(bmp["save"], "Pillow"),
                 "—", "—", versus(bmp["save"], "file write")))
    px = results["pixels"]
    for label, key, pillow in (("getPixel", "get", "getpixel"), ("putPixel", "put", "putpixel")):
        t, calls = px[key], px["calls"]

        def ns(who, t=t, calls=calls):
            return f"{t[who] / calls * 1e9:.0f} ns"
        q = spread.get(label, {}).get(px["size"], {}).get("module")
        plus = f" ±{(q[1] - q[0]) / t['module']:.0%}" if q else ""
        peer = "—"
        if "Pillow px[x, y]" in t:
            peer = (f"`px[x, y]` {ns('Pillow px[x, y]')} ({ratio_text(t['module'] / t['Pillow px[x, y]'])}x), "
                    f"`{pillow}` {ns(f'Pillow {pillow}')}")
        rows.append((f"`{label}` over a {px['size']} image, per call", ns("module") + plus, peer, "—", "—",
                     f"a list of tuples {ns('list of tuples')}"))
    th = results["threads"]
    rows.append(("16 PNG opens on 2 threads against 1", f"{th['module']['2 threads'] / th['module']['1 thread']:.2f}x",
                 f"{th['Pillow']['2 threads'] / th['Pillow']['1 thread']:.2f}x" if "Pillow" in th else "—", "—", "—",
                 f"`zlib.decompress` {th['zlib.decompress']['2 threads'] / th['zlib.decompress']['1 thread']:.2f}x"))
    lines = ["| task | this library | Pillow | pyspng | pypng | floors |", "|---|---:|---:|---:|---:|---:|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def mixes(results):
    """Opens of the same photograph under each filter mix, against the floors."""
    lines = ["| open | this library | `zlib.decompress` | libdeflate | linked libdeflate |",
             "|---|---:|---:|---:|---:|"]
    for name, t in results["open_png"].items():
        if "rows" not in name:
            continue
        q = results["spread"]["open PNG"][name]["module"]
        cells = [f"{quantity(t['module'], 's')} ±{(q[1] - q[0]) / t['module']:.0%}"]
        for who in ("zlib.decompress", "libdeflate inflate", "linked libdeflate inflate"):
            cells.append(f"{ratio_text(t['module'] / t[who])}x" if who in t else "—")
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    for name, t in results.get("open_png_amid_pypng", {}).items():
        q = results["spread"]["open PNG amid pypng decodes"][name]["module"]
        ratio = ratio_text(t["module"] / t["zlib.decompress"])
        lines.append(f"| {name}, amid pypng decodes, no collection forced | {quantity(t['module'], 's')} "
                     f"±{(q[1] - q[0]) / t['module']:.0%} | {ratio}x | — | — |")
    return "\n".join(lines)


def main():
    for path in sys.argv[1:]:
        with open(path) as f:
            results = json.load(f)
        host = results["host"]
        print(f"**{host['implementation']} {host['python']}**\n\n{table(results)}\n\n{mixes(results)}\n")


if __name__ == "__main__":
    main()
