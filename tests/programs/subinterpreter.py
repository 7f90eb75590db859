"""Imports a module (argv[1], default velkora.mount) in an isolated
subinterpreter and, for velkora.fsmount, calls fsopen there; then uses
velkora.mount in the main interpreter. Prints what the subinterpreter saw and
what the main one got."""

import importlib
import json
import os
import sys
import tempfile
from typing import Any

import velkora.mount as m

module = sys.argv[1] if len(sys.argv) > 1 else "velkora.mount"
with tempfile.TemporaryDirectory() as place:
    seen = os.path.join(place, "seen")
    code = (
        "try:\n"
        f"    import {module} as loaded\n"
        "except ImportError as e:\n"
        "    seen = 'ImportError: ' + str(e)\n"
        "else:\n"
        "    seen = 'imported'\n"
        "    if hasattr(loaded, 'fsopen'):\n"
        "        seen += ' fsopen gave %d' % loaded.fsopen('tmpfs')\n"
        f"open({seen!r}, 'w').write(seen)\n"
    )
    if sys.version_info >= (3, 14):
        from concurrent import interpreters

        interpreters.create().exec(code)
    else:
        try:
            api: Any = importlib.import_module("_interpreters")  # 3.13
        except ImportError:
            api = importlib.import_module("_xxsubinterpreters")  # 3.12
        api.run_string(api.create(), code)
    with open(seen) as f:
        inside = f.read()

try:
    m.umount("\0")  # refused by the parser in the main interpreter, as ever
    after = "no error"
except ValueError:
    after = "ValueError"
print(json.dumps({"inside": inside, "after": after, "flag": m.MS_BIND}))
