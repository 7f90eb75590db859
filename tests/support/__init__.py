"""Helpers of the test suite, the modules tests import: the namespace
set-up, the mount table, loop devices, the recording stand-in for the kernel
and the tables of bad calls. The programs tests run as processes of their
own live beside, in ../programs (PROGRAMS)."""

from pathlib import Path

PROGRAMS = Path(__file__).resolve().parent.parent / "programs"
