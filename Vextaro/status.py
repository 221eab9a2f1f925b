"""The command's exit statuses beyond 0 (all done) and 1 (a file failed)."""

__all__ = ["INTERRUPTED", "USAGE_ERROR"]

# A usage error or a refused plan: nothing was written.
USAGE_ERROR = 2
# What a shell reports for a command stopped by Ctrl-C.
INTERRUPTED = 130
