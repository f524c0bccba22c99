"""The least of NVIDIA DIGITS that the project's image-classification modules call.

Importing the package is cheap on purpose: the host imports `digits.config`
early, and numpy/Pillow are only pulled in by the modules that need them.
"""
__version__ = "0.1.0"
