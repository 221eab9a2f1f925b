def _version() -> str:
    import re
    from importlib import metadata
    from pathlib import Path

    # meson.build's project() holds the one version. An installed package carries it in its
    # metadata; a package that runs from this project's source tree reads its meson.build.
    # Nothing found is no reason for the import to fail.
    # Only the metadata beside the package counts: another Vextaro earlier on sys.path is
    # another installation.
    here = Path(__file__).resolve()
    try:
        for dist in metadata.distributions(name="Vextaro", path=[str(here.parent.parent)]):
            if Path(str(dist.locate_file("Vextaro/__init__.py"))).resolve() == here:
                return dist.version
    except Exception:
        pass
    try:
        text = (here.parent.parent / "meson.build").read_text("utf-8", errors="replace")
    except OSError:
        text = ""
    found = re.search(r"project\(\s*'Vextaro'[^)]*?\bversion\s*:\s*'([^']+)'", text)
    return found.group(1) if found else "0+unknown"


def __getattr__(name: str) -> str:
    # Read when asked for, not on every import: the metadata lookup costs more than the
    # rest of `vextaro info` on a small file.
    if name == "__version__":
        version = _version()
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
