"""Runs a command on a private Xvfb display and returns its exit code.

Usage: with_display.py COMMAND [ARGS...]
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from xdisplay import XDisplay  # noqa: E402

if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: with_display.py COMMAND [ARGS...]")
    with XDisplay() as x:
        try:
            code = subprocess.run(sys.argv[1:], env=x.env, timeout=300).returncode
        except subprocess.TimeoutExpired:
            print("with_display: command timed out", file=sys.stderr)
            code = 1
    sys.exit(code)
