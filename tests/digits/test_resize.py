"""resize_image: shapes and types callers rely on, and what each mode keeps of the picture."""
import numpy as np
import pytest
from PIL import Image

from digits import utils

resize_image = utils.image.resize_image
MODES = ["squash", "crop", "fill", "half_crop"]

INPUTS = {
    "grey-wide": lambda: Image.new("L", (40, 10), 90),
    "rgb-tall": lambda: Image.new("RGB", (10, 40), (10, 200, 30)),
    "palette": lambda: Image.new("P", (13, 17), 3),
    "array-grey": lambda: np.full((15, 25), 7, np.uint8),
    "array-1ch": lambda: np.full((25, 15, 1), 7, np.uint8),
    "array-rgba": lambda: np.full((9, 7, 4), 200, np.uint8),
    "array-float": lambda: np.full((12, 12, 3), 300.0),
    "same-size": lambda: np.full((6, 5), 1, np.uint8),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("channels", [1, 3])
@pytest.mark.parametrize("source", sorted(INPUTS))
def test_output_shape_and_type(source, channels, mode):
    out = resize_image(INPUTS[source](), 6, 5, channels=channels, resize_mode=mode)
    assert out.dtype == np.uint8
    assert out.shape == ((6, 5) if channels == 1 else (6, 5, 3))


@pytest.mark.parametrize("source, shape", [
    ("grey-wide", (4, 4)), ("array-1ch", (4, 4)), ("rgb-tall", (4, 4, 3)), ("array-rgba", (4, 4, 3)),
])
def test_channels_none_keeps_the_images_own(source, shape):
    assert resize_image(INPUTS[source](), 4, 4).shape == shape


def test_channel_conversions_keep_the_picture():
    red = Image.new("RGB", (4, 4), (255, 0, 0))
    assert np.all(resize_image(red, 4, 4, channels=1) == np.asarray(red.convert("L")))
    grey = np.full((4, 4), 77, np.uint8)
    assert np.all(resize_image(grey, 4, 4, channels=3) == 77)


def _bands(height, width, band_from, band_to):
    """Black picture with a white band over columns [band_from, band_to)."""
    arr = np.zeros((height, width), np.uint8)
    arr[:, band_from:band_to] = 255
    return arr


def test_squash_keeps_everything_crop_keeps_the_middle():
    wide = _bands(4, 12, 4, 8)  # black | white | black, in thirds
    squashed = resize_image(wide, 4, 4, channels=1, resize_mode="squash")
    cropped = resize_image(wide, 4, 4, channels=1, resize_mode="crop")
    assert squashed[:, 0].max() < 30 and squashed[:, -1].max() < 30
    assert np.all(cropped == 255)
    tall = _bands(4, 12, 4, 8).T.copy()
    assert np.all(resize_image(tall, 4, 4, channels=1, resize_mode="crop") == 255)


def test_fill_keeps_the_whole_picture_inside_and_fills_around_it():
    tall = np.full((12, 4), 255, np.uint8)
    out = resize_image(tall, 6, 6, channels=1, resize_mode="fill")
    assert np.all(out[:, 2:4] == 255)
    filler = np.concatenate([out[:, :2].ravel(), out[:, 4:].ravel()])
    assert len(set(filler.tolist())) > 1
    # The filler repeats, so one picture always classifies the same way.
    assert np.array_equal(out, resize_image(tall, 6, 6, channels=1, resize_mode="fill"))


def test_half_crop_crops_the_long_side_and_fills_the_short_one():
    # 4x16 to 4x4: halfway ratio 2.5 gives 6x2 (wide x high), cropped to 4 wide, filled to 4 high.
    wide = np.full((4, 16), 255, np.uint8)
    out = resize_image(wide, 4, 4, channels=1, resize_mode="half_crop")
    assert np.all(out[1:3, :] == 255)
    assert not np.all(out[[0, 3], :] == 255)


def test_same_size_comes_back_unchanged():
    arr = np.arange(30, dtype=np.uint8).reshape(6, 5)
    for mode in MODES:
        assert np.array_equal(resize_image(arr, 6, 5, channels=1, resize_mode=mode), arr)


@pytest.mark.parametrize("kwargs", [
    dict(height=4, width=4, resize_mode="stretch"),
    dict(height=4, width=4, channels=2),
    dict(height=0, width=4),
    dict(height=4, width=-1),
    dict(height=2.5, width=4),
    dict(height=True, width=4),
], ids=["mode", "channels", "zero-height", "negative-width", "float-height", "bool-height"])
def test_bad_arguments_are_refused(kwargs):
    with pytest.raises(ValueError):
        resize_image(np.zeros((8, 8), np.uint8), **kwargs)


@pytest.mark.parametrize("image", [np.zeros((0, 4), np.uint8), np.zeros((4, 4, 2), np.uint8),
                                   np.zeros((2, 2, 2, 2), np.uint8)], ids=["empty", "2ch", "4d"])
def test_unusable_arrays_are_refused(image):
    with pytest.raises(ValueError):
        resize_image(image, 4, 4)
