"""Command-line tools of the DIGITS layer (`python -m digits.tools.<name>`)."""
