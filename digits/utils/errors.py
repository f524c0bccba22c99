"""Errors raised by the DIGITS layer."""


class DigitsError(Exception):
    """Base of the layer's own errors."""


class LoadImageError(DigitsError, IOError, ValueError):
    """An image could not be loaded or was refused.

    It is an IOError and a ValueError at once so that callers written against
    either (DIGITS' callers catch IOError for files, ValueError for bad data)
    keep working whatever the cause was.
    """


class JobError(DigitsError, ValueError):
    """A job folder does not hold a usable job."""
