"""PNG file sizes and save times by filter choice: type 0 on every row, Paeth on every
row, the per-row choice of Vextaro.filters (examples/smaller_png.py), and Pillow's default save.

    python bench/png_filters.py [--rounds N]

The inputs are photographs of Debian's mate-backgrounds and the icons of
adwaita-icon-theme (bench/setup.sh installs both), decoded with Pillow; a set of
icons counts as one input, its sizes and times added up. Needs Pillow and numpy.
Prints a Markdown table; times are medians over the rounds.
"""
import argparse
import glob
import os
import statistics
import sys
import tempfile
import time
import warnings

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [ROOT, os.path.join(ROOT, "examples")]

from PIL import Image  # noqa: E402

from Vextaro.filters import filter_types  # noqa: E402
from Vextaro.simpleImage_ext import SimpleImage  # noqa: E402

NATURE = "/usr/share/backgrounds/mate/nature/"
INPUTS = [(f"photo {name}", [NATURE + name]) for name in ("Storm.jpg", "LadyBird.jpg", "Wood.jpg", "Garden.jpg")]
INPUTS += [(f"{len(paths)} Adwaita icons {size}x{size}", paths)
           for size in (512, 48) for paths in [sorted(glob.glob(f"/usr/share/icons/Adwaita/{size}x{size}/*/*.png"))]]


def decoded(path):
    with Image.open(path) as picture, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a few icons are palette images with a transparent entry
        return picture.convert("RGBA" if "A" in picture.getbands() else "RGB")


def with_filters(choose):
    def save(image, picture, path):
        image._png_filters = choose(image)
        image.save(path)
    return save


METHODS = {
    "type 0": with_filters(lambda image: bytearray(image.height)),
    "Paeth": with_filters(lambda image: bytearray([4]) * image.height),
    "per-row choice": with_filters(filter_types),
    "Pillow": lambda image, picture, path: picture.save(path, "PNG"),
}


def measure(paths, rounds, folder):
    """Per method: (bytes, seconds) summed over the pictures; the time a median of rounds."""
    pictures = [decoded(p) for p in paths]
    images = [SimpleImage(p.width, p.height, p.convert("RGB").tobytes(),
                          p.getchannel("A").tobytes() if p.mode == "RGBA" else None) for p in pictures]
    times, sizes = {name: [] for name in METHODS}, {}
    for _ in range(rounds):
        for name, save in METHODS.items():  # methods take turns, so that drift hits all alike
            start = time.perf_counter()
            for n, (image, picture) in enumerate(zip(images, pictures)):
                save(image, picture, os.path.join(folder, f"{n}.png"))
            times[name].append(time.perf_counter() - start)
            sizes[name] = sum(os.path.getsize(os.path.join(folder, f"{n}.png")) for n in range(len(images)))
    return {name: (sizes[name], statistics.median(times[name])) for name in METHODS}

def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    missing = [p for _, paths in INPUTS for p in paths if not os.path.exists(p)] + [n for n, p in INPUTS if not p]
    if missing:
        sys.exit(f"missing inputs (bash bench/setup.sh installs them): {missing[:3]}")
    print("| input | " + " | ".join(METHODS) + " | per-row / Pillow |")
    print("|---|" + "---:|" * (len(METHODS) + 1))
    # Files go to memory where the system offers it: the encoders are measured, not the disk.
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as folder:
        for label, paths in INPUTS:
            found = measure(paths, args.rounds, folder)
            sizes = {name: size for name, (size, _) in found.items()}
            cells = [f"{size / 1000:,.0f} kB, {seconds * 1000:,.0f} ms" for size, seconds in found.values()]
            ratio = sizes["per-row choice"] / sizes["Pillow"]
            width, height = decoded(paths[0]).size
            name = f"{label} ({width}x{height})" if len(paths) == 1 else label
            print(f"| {name} | " + " | ".join(cells) + f" | {ratio:.3f}x |", flush=True)


if __name__ == "__main__":
    main()
