"""Type-checks the documentation as a reader copies it: every ```python block of the
README on its own, and every example, with `mypy --strict` against the stub.

    python scripts/typecheck_docs.py

Fails when mypy finds an error, and when there is nothing to check.
"""
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BLOCK = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def main() -> int:
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    examples = sorted((ROOT / "examples").glob("*.py"))
    with tempfile.TemporaryDirectory() as tmp:
        blocks = []
        for found in BLOCK.finditer(readme):
            line = readme.count("\n", 0, found.start()) + 1
            # Named after its line, so that mypy's messages point into the README.
            block = Path(tmp) / f"README_line_{line}.py"
            block.write_text(found.group(1), encoding="utf-8")
            blocks.append(str(block))
        if not blocks or not examples:
            print(f"nothing to check: {len(blocks)} README blocks, {len(examples)} examples", file=sys.stderr)
            return 1
        # The blocks import the examples' helpers (smaller_png, ...) as a reader beside them would.
        env = dict(os.environ, MYPYPATH=os.pathsep.join([str(ROOT), str(ROOT / "examples")]),
                   MYPY_CACHE_DIR=str(ROOT / "build" / "mypy-docs"))
        done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--config-file", str(ROOT / "pyproject.toml"),
                               *blocks, *map(str, examples)], cwd=ROOT, env=env)
    print(f"mypy --strict: {len(blocks)} README blocks, {len(examples)} examples")
    return done.returncode


if __name__ == "__main__":
    sys.exit(main())
