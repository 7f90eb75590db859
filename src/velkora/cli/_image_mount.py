"""The velkora command's ``image mount``, ``image umount`` and ``image run``."""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse


def mount(args: argparse.Namespace) -> int:
    raise NotImplementedError("velkora image mount")


def umount(args: argparse.Namespace) -> int:
    raise NotImplementedError("velkora image umount")


def run(args: argparse.Namespace) -> int:
    raise NotImplementedError("velkora image run")
