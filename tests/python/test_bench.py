"""The benchmark's smoke run works on this host and writes its outputs."""
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
    assert "| what |" in (out / "results.md").read_text(encoding="utf-8")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (out / "ratios.png").stat().st_size > 0
