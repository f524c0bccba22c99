"""Helpers of the DIGITS layer; `from digits import utils` then `utils.image.load_image(...)`."""
from digits.utils import errors  # noqa: F401
from digits.utils import image  # noqa: F401
