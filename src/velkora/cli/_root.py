"""The velkora command's roots: ``chroot``, a command run inside a root, and
``holders``, who keeps a mount busy."""

from __future__ import annotations

import errno
import os
import sys

from velkora.cli._common import Failure, UsageError, _fail, _json, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def _pairs(words: list[str], option: str) -> list[tuple[str, str]]:
    pairs = []
    for word in words:
        source, colon, target = word.partition(":")
        if not (source and colon and target):
            raise UsageError(f"{option} takes SRC:DST, not {word!r}")
        pairs.append((source, target))
    return pairs


def _shell(root: str) -> list[str]:
    """$SHELL where the root has it, else /bin/sh, as arch-chroot starts."""
    shell = os.environ.get("SHELL", "")
    inside = os.path.join(root, shell.lstrip("/"))
    return [shell if shell.startswith("/") and os.access(inside, os.X_OK) else "/bin/sh"]


def cmd_chroot(args: argparse.Namespace) -> int:
    import signal

    from velkora import chroot

    binds, ro_binds = _pairs(args.bind, "--bind"), _pairs(args.ro_bind, "--ro-bind")
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    # Ctrl-C is the command's (the terminal sends it to both): this process
    # waits on for the command's end, as a shell does.
    signal.signal(signal.SIGINT, lambda *_: None)
    import warnings

    # A resolv.conf passed over: one line, as the command's other messages.
    warnings.showwarning = lambda message, *_: print(f"velkora: chroot: {message}", file=sys.stderr)
    try:
        done = chroot.run(args.root, command or _shell(args.root), userns=args.userns, binds=binds, ro_binds=ro_binds,
                          dev=args.dev, resolv_conf=args.resolv_conf)  # fmt: skip
    except OSError as e:
        run = command or _shell(args.root)
        if e.filename == os.fsdecode(run[0]):
            # The command itself could not be run, as chroot(1) says it: 127
            # where there is none, 126 where it cannot be run.
            print(f"velkora: chroot: failed to run command '{shown(e.filename)}': {e.strerror}", file=sys.stderr)
            return 127 if e.errno == errno.ENOENT else 126
        what = f"chroot {shown(os.fsdecode(e.filename or args.root))}"
        if args.userns:  # not root's to fix: the caller's own rights, or newuidmap's refusal
            raise Failure(f"{what}: {e.strerror or e}") from None
        raise _fail(what, e) from None
    except ValueError as e:
        raise Failure(f"chroot {shown(args.root)}: {shown(str(e))}") from None
    return done.returncode if done.returncode >= 0 else 128 - done.returncode


def cmd_holders(args: argparse.Namespace) -> None:
    from velkora import holders

    try:
        found = holders(args.path)
    except OSError as e:
        raise _fail(f"holders {args.path}", e) from None
    if args.json:
        print(_json([{"pid": h.pid, "name": h.name, "use": h.use} for h in found], None))
        return
    from velkora.cli._common import shown as _shown

    width = max([len(str(h.pid)) for h in found] + [3])
    lines = [f"{'PID':>{width}} {'NAME':<15} USE"]
    lines += [f"{h.pid:>{width}} {_shown(h.name):<15} {h.use}" for h in found]
    sys.stdout.write("\n".join(lines) + "\n")
