"""Constants as the system's C headers define them, read by compiling one
small program per test session, so that tests can pin the modules' values to
the headers."""

from __future__ import annotations

import os
import subprocess
from enum import IntFlag
from pathlib import Path

from velkora import flags

# Newer than the oldest header we build against (6.1), each with the test of
# whether a header has it (an enumerator cannot be tested with #ifdef); they
# are reported as "absent" from an older one.
NEWER = {
    "FSCONFIG_CMD_CREATE_EXCL": "LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)",
    "MOVE_MOUNT_BENEATH": "defined(MOVE_MOUNT_BENEATH)",
    "OPEN_TREE_NAMESPACE": "defined(OPEN_TREE_NAMESPACE)",
    "FSMOUNT_NAMESPACE": "defined(FSMOUNT_NAMESPACE)",
}

# The kernel's uapi header, and the C library's for umount2(2)'s flags: the
# two cannot share a translation unit with every C library.
UAPI = "#include <fcntl.h>\n#include <linux/mount.h>\n#ifndef AT_RECURSIVE\n#include <linux/fcntl.h>\n#endif"
LIBC = "#include <sys/mount.h>"

# Each flag class, the C prefix of its members, and the headers that define them.
FLAG_SOURCES = {
    flags.MS: ("MS_", UAPI),
    flags.MOUNT_ATTR: ("MOUNT_ATTR_", UAPI),
    flags.OPEN_TREE: ("OPEN_TREE_", UAPI),
    flags.MOVE_MOUNT: ("MOVE_MOUNT_", UAPI),
    flags.FSOPEN: ("FSOPEN_", UAPI),
    flags.FSMOUNT: ("FSMOUNT_", UAPI),
    flags.FSPICK: ("FSPICK_", UAPI),
    flags.MNT: ("MNT_", LIBC),
}


def c_name(cls: type[IntFlag], member: str) -> str:
    return "UMOUNT_NOFOLLOW" if member == "UMOUNT_NOFOLLOW" else FLAG_SOURCES[cls][0] + member


def header_values(groups: dict[str, list[str]], work: Path) -> dict[str, str]:
    """Each name's value in decimal, or "absent" for a name in NEWER that the
    installed headers predate. ``groups`` maps preprocessor lines to the
    names read under them; one compiler run builds the whole program."""
    sources = []
    for n, (includes, names) in enumerate(groups.items()):
        lines = []
        for name in sorted(set(names)):
            value = f'printf("{name} %lld\\n", (long long)({name}));'
            if name in NEWER:
                value = f'#if {NEWER[name]}\n{value}\n#else\nprintf("{name} absent\\n");\n#endif'
            lines.append(value)
        source = work / f"values{n}.c"
        heads = "#define _GNU_SOURCE\n#include <stdio.h>\n#include <linux/version.h>\n" + includes + "\n"
        source.write_text(heads + f"void values{n}(void) {{\n" + "\n".join(lines) + "\n}\n")
        sources.append(str(source))
    calls = "".join(f"void values{n}(void);\n" for n in range(len(sources)))
    body = "".join(f"values{n}();\n" for n in range(len(sources)))
    (work / "main.c").write_text(calls + "int main(void) {\n" + body + "return 0;\n}\n")
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-o", str(work / "values"), str(work / "main.c"), *sources], check=True)
    out = subprocess.run([str(work / "values")], check=True, capture_output=True, text=True).stdout
    return dict(line.split(" ") for line in out.splitlines())
