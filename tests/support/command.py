"""The velkora command as a user runs it, for the command's tests."""

import os
import subprocess
import sys
from typing import Any, Dict, Optional


def velkora_(
    *args: Any, env: Optional[Dict[str, str]] = None, check: bool = True
) -> "subprocess.CompletedProcess[str]":
    run = subprocess.run([sys.executable, "-m", "velkora", *map(str, args)], capture_output=True, text=True,
                         env=dict(os.environ, **(env or {})))  # fmt: skip
    assert "Traceback" not in run.stderr
    if check:
        assert run.returncode == 0, run.stderr
    return run
