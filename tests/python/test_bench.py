"""The benchmark's smoke run works on this host and writes its outputs."""
import importlib.util
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def test_quick_run_writes_results(tmp_path):
    out = tmp_path / "out"
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench.py"), "--quick", "--out", str(out),
                    "--cache", str(tmp_path / "cache")], check=True, capture_output=True, timeout=600)
    results = json.loads((out / "results.json").read_text())
    assert results["comparisons"]
    # Without the machine's own spread a noisy run could not be told from a noisy module.
    assert results["host"]["steadiness"]["samples"] > 0
    # pypng is a contender wherever it is installed (the source tree's png/ folder has no origin).
    if getattr(importlib.util.find_spec("png"), "origin", None):
        assert {"open PNG", "save PNG"} <= {r["group"] for r in results["comparisons"] if r["against"] == "pypng"}
    assert "| what |" in (out / "results.md").read_text(encoding="utf-8")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (out / "ratios.png").stat().st_size > 0
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "bench.py"), "--combine", str(out / "results.json"),
                    str(out / "results.json"), "--out", str(tmp_path / "both")], check=True, capture_output=True)
    assert (tmp_path / "both" / "ratios.png").stat().st_size > 0


def test_levels_quick_run_writes_its_table(tmp_path):
    # The save-level race shares bench.py's inputs and timing: a split of those must not break it.
    subprocess.run([sys.executable, os.path.join(ROOT, "bench", "levels.py"), "--quick", "--out", str(tmp_path),
                    "--cache", str(tmp_path / "cache")], check=True, capture_output=True, timeout=600)
    assert "level 6" in "".join(p.read_text(encoding="utf-8") for p in tmp_path.glob("levels-*.md"))
