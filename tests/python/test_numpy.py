"""numpy arrays over an image's buffers, as the README's numpy section describes them."""
import pytest

from conftest import ramp

np = pytest.importorskip("numpy")


def test_views_share_the_buffers_and_the_constructor_copies(SI, tmp_path):
    width, height = 5, 4
    SI(width, height, ramp(width * height * 3), ramp(width * height)).save(str(tmp_path / "in.png"))
    image = SI.open(str(tmp_path / "in.png"))
    pixels = np.frombuffer(image._pixels, np.uint8).reshape(height, width, 3)
    alpha = np.frombuffer(image._alpha, np.uint8).reshape(height, width)
    assert [tuple(pixels[y, x]) for y in range(height) for x in range(width)] == \
        [image.getPixel((x, y)) for y in range(height) for x in range(width)]

    # Writes either way meet in the one buffer, and save writes what the arrays hold.
    pixels[1, 3], alpha[1, 3] = (1, 2, 3), 4
    image.putPixel((0, 2), (7, 8, 9))
    assert tuple(pixels[2, 0]) == (7, 8, 9)
    image.save(str(tmp_path / "out.png"))
    again = SI.open(str(tmp_path / "out.png"))
    assert (again.getPixel((3, 1)), again._alpha[width + 3]) == ((1, 2, 3), 4)

    # Back from an (h, w, 4) array: the constructor copies, flat and contiguous.
    rgba = np.dstack([pixels, alpha])
    built = SI(width, height, np.ascontiguousarray(rgba[..., :3]).reshape(-1),
               np.ascontiguousarray(rgba[..., 3]).reshape(-1))
    assert (built._pixels, built._alpha) == (image._pixels, image._alpha)
    rgba[...] = 0
    assert (built._pixels, built._alpha) == (image._pixels, image._alpha)

    # A new buffer in _pixels leaves the array on the old one.
    image._pixels = bytearray(image._pixels)
    pixels[0, 0] = (5, 5, 5)
    assert image.getPixel((0, 0)) != (5, 5, 5)
