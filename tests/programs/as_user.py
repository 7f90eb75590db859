"""Runs velkora as uid 65534 (or the uid:gid in VELKORA_TEST_USER), as an
ordinary user would: ``as_user.py WORDS...`` the command, ``as_user.py -c
PROGRAM`` a program. Every velkora module is imported first, as root,
with the standard modules they use: the tree, venv or interpreter they
come from may be one the user cannot read (under /root), which is no part
of what the tests look at."""

import ctypes
import importlib
import os
import pkgutil
import sys

import velkora

for module in pkgutil.walk_packages(velkora.__path__, "velkora."):  # subpackages' modules too
    if not module.name.endswith(".__main__"):
        importlib.import_module(module.name)
# And what they import as they run, from an interpreter that may be the user's to run but not to read.
for name in (
    "argparse",
    "errno",
    "fcntl",
    "gettext",
    "json",
    "locale",
    "operator",
    "pwd",
    "selectors",
    "shlex",
    "shutil",
    "signal",
    "stat",
    "struct",
    "subprocess",
    "textwrap",
    "warnings",
):
    importlib.import_module(name)
uid, gid = map(int, os.environ.get("VELKORA_TEST_USER", "65534:65534").split(":"))
os.setgroups([])
os.setgid(gid)
os.setuid(uid)
# Dumpable again, as a process the user started by exec is (a change of uid
# clears it, and makes this process's /proc files, and its children's, root's).
ctypes.CDLL(None, use_errno=True).prctl(4, 1, 0, 0, 0)  # PR_SET_DUMPABLE
if sys.argv[1:2] == ["-c"]:
    exec(sys.argv[2])
else:
    from velkora.cli import main, parser

    parser().format_help()  # argparse's own imports (gettext, locale) as it words a message
    sys.exit(main(sys.argv[1:]))
