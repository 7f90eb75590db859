"""The velkora command's ``image mount``, ``image umount`` and ``image run``."""

from __future__ import annotations

import errno
import os
import sys

from velkora.cli._common import Failure, _fail, shown

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def _failure(what: str, e: Exception) -> Failure:
    if isinstance(e, OSError):
        return _fail(f"{what} {shown(os.fsdecode(e.filename)) if e.filename else ''}".rstrip(), e)
    return Failure(f"{what}: {shown(str(e))}")


def mount(args: argparse.Namespace) -> int:
    """The image mounted at DIR and left so, as systemd-dissect --mount
    leaves it: the loop device goes with its last mount."""
    from velkora.image._mount import mounted

    block = mounted(args.image, args.dir, read_only=args.read_only, fstab=args.fstab, mkdir=args.mkdir)
    try:
        block.__enter__()
    except (OSError, ValueError) as e:
        raise _failure("image mount", e) from None
    block._release()
    return 0


def umount(args: argparse.Namespace) -> int:
    from velkora.image._umount import unmount

    try:
        unmount(args.dir)
    except OSError as e:
        raise _failure("image umount", e) from None
    return 0


def run(args: argparse.Namespace) -> int:
    """The command's exit status; 127 where it is not in the image, 126
    where it cannot be run, as chroot(1) says it."""
    import signal

    from velkora.image._mount import mounted
    from velkora.image._run import run as run_in

    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    # Ctrl-C is the command's (the terminal sends it to both): this process,
    # and the one that mounts the image, wait on for its end.
    signal.signal(signal.SIGINT, lambda *_: None)
    try:
        done = run_in(mounted, args.image, command or None, args.read_only, {})
    except OSError as e:
        if command and e.filename == command[0]:
            print(f"velkora: image run: failed to run command '{shown(e.filename)}': {e.strerror}", file=sys.stderr)
            return 127 if e.errno == errno.ENOENT else 126
        raise _failure("image run", e) from None
    except ValueError as e:
        raise _failure(f"image run {shown(args.image)}", e) from None
    code: int = done.returncode
    return code if code >= 0 else 128 - code
