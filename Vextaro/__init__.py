def _version() -> str:
    import re
    from importlib import metadata
    from pathlib import Path

    # meson.build's project() holds the one version: a wheel's metadata is made from it, and
    # in the source tree (a package copied under it included) it is read from there.
    for folder in Path(__file__).resolve().parents:
        build = folder / "meson.build"
        if build.is_file():
            found = re.search(r"project\(\s*'Vextaro'[^)]*?\bversion\s*:\s*'([^']+)'", build.read_text("utf-8"))
            if found:
                return found.group(1)
    try:
        return metadata.version("Vextaro")
    except metadata.PackageNotFoundError:  # a copy of the package alone: it still imports
        return "0+unknown"


__version__ = _version()
