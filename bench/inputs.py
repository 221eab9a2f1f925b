"""The benchmark's input files: photographs scaled to size where bench/setup.sh
installed them, photo-like pictures made with Pillow where not, or in pure Python
without Pillow; kept in a cache folder between runs."""

import contextlib
import os
import random
import struct
import zlib

from common import Image, ImageFilter, ImageOps, SimpleImage, progress

# Debian's mate-backgrounds (bench/setup.sh installs it): a real 1920x1280 photograph,
# and a detailed 5640x3172 picture that scales down to 4096x2304 with its fine texture kept.
PHOTOS = {
    "storm": "/usr/share/backgrounds/mate/nature/Storm.jpg",
    "detail": "/usr/share/backgrounds/mate/abstract/Elephants_5640x3172.jpg",
}

SIZES = {
    "full": {"photo": (1920, 1280), "large": (4096, 2304), "bmp": (1920, 1280), "pixels": (512, 512)},
    "quick": {"photo": (240, 160), "large": (512, 288), "bmp": (240, 160), "pixels": (48, 48)},
}

# The filter types encoders choose row by row differ: Pillow's rows are nearly all
# Paeth; an adaptive encoder's photographs carry about a quarter Average and a tenth
# Sub among the Paeth rows; icons and screenshots mostly Up and None; some files Sub
# alone. The photograph is written again under each mix, by the module itself, with
# each row's type drawn from the mix's shares (type: share).
FILTER_MIXES = {
    "Paeth": {4: 1.0},
    "adaptive": {3: 0.25, 1: 0.10, 4: 0.65},
    "Up/None": {2: 0.70, 0: 0.25, 1: 0.05},
    "Sub": {1: 1.0},
}


def mix_slug(mix):
    return mix.replace("/", "-").lower()


def mix_key(mix, channels):
    return f"mix_{mix_slug(mix)}_{channels}"


def mix_filters(mix, height, seed):
    """One filter type per row, drawn from the shares of FILTER_MIXES[mix]."""
    rng = random.Random(seed)
    types, shares = zip(*FILTER_MIXES[mix].items())
    return bytearray(rng.choices(types, shares, k=height))


def refilter(source, path, mix):
    """Writes the PNG `source` again with its rows filtered as `mix` has them."""
    image = SimpleImage.open(source)
    image._png_filters = mix_filters(mix, image.height, seed=len(mix))
    image.save(path)


def idat_payload(data):
    """The zlib stream of a PNG file: its IDAT chunks' data joined."""
    pos, parts = 8, []
    while pos + 8 <= len(data):
        length = int.from_bytes(data[pos:pos + 4], "big")
        if data[pos + 4:pos + 8] == b"IDAT":
            parts.append(data[pos + 8:pos + 8 + length])
        pos += 12 + length
    return b"".join(parts)


def png_chunk(kind, body):
    return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body))


def write_png_py(path, width, height, rgb, alpha=None):
    """A PNG written without Pillow, every row with the Sub filter."""
    bpp = 4 if alpha is not None else 3
    lines = bytearray()
    for y in range(height):
        if alpha is None:
            row = rgb[y * width * 3:(y + 1) * width * 3]
        else:
            row = bytearray(width * 4)
            row[0::4] = rgb[y * width * 3:(y + 1) * width * 3:3]
            row[1::4] = rgb[y * width * 3 + 1:(y + 1) * width * 3:3]
            row[2::4] = rgb[y * width * 3 + 2:(y + 1) * width * 3:3]
            row[3::4] = alpha[y * width:(y + 1) * width]
        out = bytearray(row)
        for i in range(bpp, len(row)):
            out[i] = (row[i] - row[i - bpp]) & 255
        lines += b"\x01" + out
    header = struct.pack(">IIBBBBB", width, height, 8, 6 if alpha is not None else 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + png_chunk(b"IHDR", header) + png_chunk(b"IDAT", zlib.compress(bytes(lines)))
                + png_chunk(b"IEND", b""))


def write_bmp_py(path, width, height, rgb):
    stride = (width * 3 + 3) // 4 * 4
    body = bytearray()
    for y in range(height - 1, -1, -1):
        row = bytearray(rgb[y * width * 3:(y + 1) * width * 3])
        row[0::3], row[2::3] = row[2::3], row[0::3]
        body += row + bytes(stride - width * 3)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(body), 2835, 2835, 0, 0)
    with open(path, "wb") as f:
        f.write(b"BM" + struct.pack("<IHHI", 54 + len(body), 0, 0, 54) + info + body)


def synthetic_rgb_py(width, height, seed):
    """Photo-like RGB without Pillow: smooth colour fields plus sensor-like noise."""
    rnd = random.Random(seed)
    cell = 24
    grid = [[[rnd.randrange(256) for _ in range(3)] for _ in range(width // cell + 2)]
            for _ in range(height // cell + 2)]
    noise = [int(rnd.gauss(0, 4)) for _ in range(8191)]
    out = bytearray(width * height * 3)
    o = 0
    for y in range(height):
        gy, fy = divmod(y, cell)
        fy /= cell
        top, bottom = grid[gy], grid[gy + 1]
        for x in range(width):
            gx, fx = divmod(x, cell)
            fx /= cell
            a0, a1, b0, b1 = top[gx], top[gx + 1], bottom[gx], bottom[gx + 1]
            for c in range(3):
                upper = a0[c] + (a1[c] - a0[c]) * fx
                lower = b0[c] + (b1[c] - b0[c]) * fx
                v = int(upper + (lower - upper) * fy) + noise[o % 8191]
                out[o] = 0 if v < 0 else 255 if v > 255 else v
                o += 1
    return bytes(out)


def synthetic_pillow(width, height, seed):
    """Photo-like content: smooth structure plus sensor-like noise."""
    random.seed(seed)
    small = Image.effect_noise((max(width // 16, 1), max(height // 16, 1)), 80).convert("RGB")
    smooth = small.resize((width, height), Image.BICUBIC).filter(ImageFilter.GaussianBlur(3))
    noise = Image.merge("RGB", [Image.effect_noise((width, height), 12)] * 3)
    return Image.blend(smooth, noise, 0.15)


def input_files(cache, sizes):
    """Names of the input files per source, for the sizes of this run."""
    (pw, ph), (lw, lh), (bw, bh), (xw, xh) = sizes["photo"], sizes["large"], sizes["bmp"], sizes["pixels"]
    names = {
        "photo_rgb": f"photo-{pw}x{ph}-rgb.png",
        "photo_rgba": f"photo-{pw}x{ph}-rgba.png",
        "large_rgb": f"large-{lw}x{lh}-rgb.png",
        "bmp": f"bmp-{bw}x{bh}.bmp",
        "pixels": f"pixels-{xw}x{xh}-rgb.png",
    }
    for mix in FILTER_MIXES:
        for channels in ("rgb", "rgba"):
            names[mix_key(mix, channels)] = f"photo-{pw}x{ph}-{channels}-{mix_slug(mix)}-rows.png"
    return {source: {k: os.path.join(cache, f"{source}-{v}") for k, v in names.items()}
            for source in ("photo", "synthetic", "synthetic-py")}


def make_inputs(cache, sizes):
    """Makes (or reuses) the inputs and returns (source, {name: path})."""
    os.makedirs(cache, exist_ok=True)
    per_source = input_files(cache, sizes)
    if Image is not None:
        source = "photo" if all(os.path.exists(p) for p in PHOTOS.values()) else "synthetic"
    else:
        # Without Pillow reuse what a Pillow host made, so hosts compare on the same files.
        source = next((s for s in ("photo", "synthetic", "synthetic-py")
                       if all(os.path.exists(p) for p in per_source[s].values())), "synthetic-py")
    paths = per_source[source]
    if all(os.path.exists(p) for p in paths.values()):
        return source, paths
    progress(f"making {source} inputs under {cache}")

    def commit(writer, path):
        # Written aside and renamed, so a concurrent run never reads half a file.
        temporary = f"{path}.{os.getpid()}.tmp"
        writer(temporary)
        os.replace(temporary, path)

    (pw, ph), (lw, lh), (bw, bh), (xw, xh) = sizes["photo"], sizes["large"], sizes["bmp"], sizes["pixels"]
    if source == "synthetic-py":
        photo = synthetic_rgb_py(pw, ph, 1)
        gradient = bytes(y * 255 // max(ph - 1, 1) for y in range(ph) for _ in range(pw))
        commit(lambda p: write_png_py(p, pw, ph, photo), paths["photo_rgb"])
        commit(lambda p: write_png_py(p, pw, ph, photo, gradient), paths["photo_rgba"])
        commit(lambda p: write_png_py(p, lw, lh, synthetic_rgb_py(lw, lh, 2)), paths["large_rgb"])
        commit(lambda p: write_bmp_py(p, bw, bh, synthetic_rgb_py(bw, bh, 3)), paths["bmp"])
        commit(lambda p: write_png_py(p, xw, xh, synthetic_rgb_py(xw, xh, 4)), paths["pixels"])
        write_mixes(paths, commit)
        return source, paths

    if source == "photo":
        def picture(name, size):
            with Image.open(PHOTOS[name]) as im:
                return ImageOps.fit(im.convert("RGB"), size, Image.LANCZOS)
        photo, large = picture("storm", (pw, ph)), picture("detail", (lw, lh))
        bmp = picture("storm", (bw, bh))
        pixels = picture("detail", (xw, xh))
    else:
        photo, large = synthetic_pillow(pw, ph, 1), synthetic_pillow(lw, lh, 2)
        bmp, pixels = synthetic_pillow(bw, bh, 3), synthetic_pillow(xw, xh, 4)
    rgba = photo.copy()
    rgba.putalpha(Image.linear_gradient("L").resize((pw, ph)))
    commit(lambda p: photo.save(p, "PNG"), paths["photo_rgb"])
    commit(lambda p: rgba.save(p, "PNG"), paths["photo_rgba"])
    commit(lambda p: large.save(p, "PNG"), paths["large_rgb"])
    commit(lambda p: bmp.save(p, "BMP"), paths["bmp"])
    commit(lambda p: pixels.save(p, "PNG"), paths["pixels"])
    write_mixes(paths, commit)
    return source, paths


def write_mixes(paths, commit):
    # The module reports every open on stdout, which carries the report.
    with open(os.devnull, "w") as null, contextlib.redirect_stdout(null):
        for mix in FILTER_MIXES:
            for channels in ("rgb", "rgba"):
                source = paths[f"photo_{channels}"]
                commit(lambda p, source=source, mix=mix: refilter(source, p, mix), paths[mix_key(mix, channels)])
