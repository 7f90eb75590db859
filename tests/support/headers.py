"""Constants as the system's C headers define them, read by compiling a
small program, so that a test can pin the module's values to the headers."""

from __future__ import annotations

import subprocess
from pathlib import Path

# Newer than the oldest header we build against (6.1), each with the test of
# whether a header has it (an enumerator cannot be tested with #ifdef); they
# are reported as "absent" from an older one.
NEWER = {
    "FSCONFIG_CMD_CREATE_EXCL": "LINUX_VERSION_CODE >= KERNEL_VERSION(6, 6, 0)",
    "MOVE_MOUNT_BENEATH": "defined(MOVE_MOUNT_BENEATH)",
    "OPEN_TREE_NAMESPACE": "defined(OPEN_TREE_NAMESPACE)",
    "FSMOUNT_NAMESPACE": "defined(FSMOUNT_NAMESPACE)",
}


def header_values(names: list[str], includes: str, work: Path) -> dict[str, str]:
    """Each name's value in decimal, or "absent" for a name in NEWER that the
    installed kernel headers predate; ``includes`` is the program's
    preprocessor lines."""
    lines = []
    for name in names:
        value = f'printf("{name} %lld\\n", (long long)({name}));'
        if name in NEWER:
            value = f'#if {NEWER[name]}\n{value}\n#else\nprintf("{name} absent\\n");\n#endif'
        lines.append(value)
    heads = "#define _GNU_SOURCE\n#include <stdio.h>\n#include <linux/version.h>\n" + includes + "\n"
    source = work / "values.c"
    source.write_text(heads + "int main(void) {\n" + "\n".join(lines) + "\nreturn 0;\n}\n")
    subprocess.run(["cc", "-o", str(work / "values"), str(source)], check=True)
    out = subprocess.run([str(work / "values")], check=True, capture_output=True, text=True).stdout
    return dict(line.split(" ") for line in out.splitlines())
