"""A short tour: build an image, read and write pixels, copy it."""
from Vextaro.simpleImage_ext import SimpleImage

width, height = 4, 3
# A horizontal red ramp over a vertical green ramp.
pixels = bytearray()
for y in range(height):
    for x in range(width):
        pixels += bytes((x * 255 // (width - 1), y * 255 // (height - 1), 64))

image = SimpleImage(width, height, pixels)
print("size:", image.size)
print("pixel (3, 0):", image.getPixel((3, 0)))

image.putPixel((0, 0), (255, 255, 255))
print("pixel (0, 0) after putPixel:", image.getPixel((0, 0)))

duplicate = image.copy()
duplicate.putPixel((0, 0), (0, 0, 0))
print("copy changed, original keeps:", image.getPixel((0, 0)), "copy has:", duplicate.getPixel((0, 0)))

try:
    image.getPixel((width, 0))
except ValueError as error:
    print("outside the image:", error)
