"""How the command words a failure."""

__all__ = ["error_message"]


def error_message(error: BaseException) -> str:
    """The module's message; the system's words for a file that cannot be read or written."""
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    return str(error) or type(error).__name__
