"""What `vextaro info` says about a file.

`describe(path)` returns a dict of plain values, the object `vextaro info --json`
prints for the file (one per line):

| key | value |
|---|---|
| `path` | the path as given |
| `kind` | `"PNG"` or `"BMP"` |
| `width`, `height` | pixels |
| `file_size` | bytes |
| `channels` | 3 (RGB, and every BMP) or 4 (RGBA) |
| `chunks` | PNG: `{"type", "length"}` per chunk in file order, with `"keyword"` for text chunks; BMP: `null` |
| `idat_sizes` | PNG: the length of each IDAT chunk; BMP: `null` |
| `filters` | PNG: rows per filter type, `{"None", "Sub", "Up", "Average", "Paeth"}`; BMP: `null` |
| `bmp_header` | BMP: `{"xppm", "yppm", "clrUsed", "clrImportant"}`; PNG: `null` |

Chunk data is not included.
"""
from __future__ import annotations

from typing import Any

from .filters import FILTER_NAMES
from .simpleImage_ext import SimpleImage
from .walk import read_regular

__all__ = ["describe", "text"]

TEXT_CHUNKS = (b"tEXt", b"zTXt", b"iTXt")


def describe(path: str) -> dict[str, Any]:
    raw = read_regular(path)
    image = SimpleImage.open(raw)
    found: dict[str, Any] = {
        "path": path, "kind": "BMP" if image._png_chunks is None else "PNG",
        "width": image.width, "height": image.height, "file_size": len(raw),
        "channels": 3 if image._alpha is None else 4,
        "chunks": None, "idat_sizes": None, "filters": None, "bmp_header": None,
    }
    if image._png_chunks is None:
        found["bmp_header"] = dict(image._bmp_header or {})
        return found
    chunks: list[dict[str, Any]] = []
    for kind, data, length in image._png_chunks:
        chunk: dict[str, Any] = {"type": kind.decode("latin-1"), "length": length}
        if kind in TEXT_CHUNKS and data is not None:
            chunk["keyword"] = bytes(data).partition(b"\0")[0].decode("latin-1")
        chunks.append(chunk)
    found["chunks"] = chunks
    found["idat_sizes"] = [c["length"] for c in chunks if c["type"] == "IDAT"]
    filters = bytes(image._png_filters or b"")
    found["filters"] = {name: filters.count(bytes([kind])) for kind, name in enumerate(FILTER_NAMES)}
    return found


def text(found: dict[str, Any]) -> str:
    """The description as lines for a reader."""
    lines = [(f"{found['path']}: {found['kind']} {found['width']}x{found['height']}, "
              f"{found['channels']} channels, {found['file_size']} bytes")]
    if found["chunks"] is None:
        lines.append("  BMP header: " + ", ".join(f"{k} {v}" for k, v in found["bmp_header"].items()))
        return "\n".join(lines)
    lines.append(f"  {len(found['chunks'])} chunks: " + ", ".join(
        f"{c['type']} {c['length']}" + (f" ({c['keyword']})" if "keyword" in c else "") for c in found["chunks"]))
    lines.append(f"  IDAT sizes: {', '.join(map(str, found['idat_sizes']))}")
    lines.append("  rows per filter type: " + ", ".join(f"{name} {n}" for name, n in found["filters"].items()))
    return "\n".join(lines)
