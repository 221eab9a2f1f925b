"""Lists a wheel and checks what it holds: the module, its stub, py.typed and the
licence, and nothing else (no tests, no sources, no bundled libraries); and its
metadata. Run it with the interpreter the wheel is for: the module's file name
depends on it.

    python scripts/check_wheel_contents.py WHEEL
"""
import sys
import sysconfig
import zipfile

with zipfile.ZipFile(sys.argv[1]) as wheel:
    names = wheel.namelist()
    for info in wheel.infolist():
        print(f"  {info.file_size:8}  {info.filename}")
    metadata = next(wheel.read(n).decode() for n in names if n.endswith(".dist-info/METADATA"))
    entry_points = next(wheel.read(n).decode() for n in names if n.endswith(".dist-info/entry_points.txt"))
# auditwheel writes entries for the folders as well.
package = {n for n in names if ".dist-info/" not in n and not n.endswith("/")}
expected = {"Vextaro/__init__.py", "Vextaro/simpleImage_ext.pyi", "Vextaro/py.typed",
            "Vextaro/simpleImage_ext" + sysconfig.get_config_var("EXT_SUFFIX"),
            *(f"Vextaro/{name}.py" for name in (
                "__main__", "cli", "cluster", "convert", "convert_cli", "errors", "filters", "info", "interrupt",
                "progress", "quiet", "status", "streamed", "streams", "walk"))}
assert package == expected, f"wheel holds {sorted(package)}"
# PEP 639: the licence as an SPDX expression, and its files (libdeflate's notice too,
# as the prebuilt wheels link it in) under .dist-info/licenses/.
for licence in ("LICENSE", "LICENSES/libdeflate.txt"):
    assert any(n.endswith(".dist-info/licenses/" + licence) for n in names), f"no {licence} in the wheel"
lines = metadata.splitlines()
# Older meson-python writes the name normalised to lower case.
assert any(line.lower() == "name: vextaro" for line in lines), "no project name"
for line in ("Requires-Python: >=3.9", "Classifier: Typing :: Typed", "License-Expression: MIT",
             "License-File: LICENSE", "License-File: LICENSES/libdeflate.txt"):
    assert line in lines, line
# The command, and the extras it offers.
assert "[console_scripts]" in entry_points and "vextaro = Vextaro.cli:main" in entry_points, entry_points
for extra in ("dask", "tqdm", "numpy"):
    assert f"Provides-Extra: {extra}" in lines, extra
