"""Utility operations of the qz platform."""
import os

# The platform endpoint to which post_qz_message forwards.
QZ_BASE_URL = os.environ.get("QZ_BASE_URL", "http://127.0.0.1:8088/qz/message")


def get_base_path():
    """The platform's base directory: $QZ_BASE_PATH, else ~/.qz."""
    return os.environ.get("QZ_BASE_PATH") or os.path.join(os.path.expanduser("~"), ".qz")


def check_mq_password(p):
    """The password to hand to the queue client: $QZ_MQ_PASSWORD when set, else p."""
    return os.environ.get("QZ_MQ_PASSWORD") or p
