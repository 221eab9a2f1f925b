"""Writes a C++ header that holds a Python source file as a string, for the build.

    python embed_source.py SOURCE.py NAME OUT.hpp

The header defines vextaro::embedded::kNAME (the text) and kNAMEFile (the name
tracebacks show for it: the source's path from the project root).
"""
import os
import sys

source, name, out = sys.argv[1:]
with open(source, encoding="utf-8") as f:
    text = f.read()
delimiter = ")VEXTARO_PY"
assert delimiter not in text, "the source holds the raw string's delimiter"
shown = os.path.relpath(source, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
with open(out, "w", encoding="utf-8") as f:
    f.write(f"// Made at build time from {shown}: edit that file.\n#pragma once\n\nnamespace vextaro::embedded {{\n\n"
            f'inline constexpr const char* k{name}File = "{shown}";\n'
            f'inline constexpr const char* k{name} = R"VEXTARO_PY({text}{delimiter}";\n\n'
            "}  // namespace vextaro::embedded\n")
