"""What reading a 1,000-entry fstab costs: velkora.fstab.read against
libmount's mnt_table_parse_fstab in C (bench/fstab.c; needs cc and
libmount-dev), each reading the file and parsing every line, the median
of the rounds."""

import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ENTRIES = 1000


def fstab_text():
    lines = ["# a generated fstab: tags, escapes, comments", ""]
    for n in range(ENTRIES):
        if n % 10 == 0:
            lines.append(f"# entry {n}")
        lines.append(
            f"UUID=0b1e4c1a-{n:04x}-4a08-afdc-5a1de5f19c12 /srv/vol\\040{n} ext4 rw,noatime,errors=remount-ro 0 2"
        )
    return "\n".join(lines) + "\n"


def parsed(rounds, calls=200):
    """Median nanoseconds per read of the file: {contender: ns}."""
    from velkora import fstab

    with tempfile.TemporaryDirectory(prefix="velkora-fstab-") as work:
        path = Path(work) / "fstab"
        path.write_text(fstab_text())
        program = Path(work) / "parse"
        try:
            subprocess.run(["cc", "-O2", "-o", str(program), str(HERE / "fstab.c"), "-lmount"], check=True,
                           capture_output=True)  # fmt: skip
        except (OSError, subprocess.CalledProcessError):
            program = None
        samples = {}
        for _ in range(rounds):
            start = time.perf_counter_ns()
            for _ in range(calls):
                fstab.read(path)
            samples.setdefault("velkora", []).append((time.perf_counter_ns() - start) / calls)
            if program is not None:
                out = subprocess.run([str(program), str(calls), str(path)], check=True, capture_output=True, text=True)
                samples.setdefault("libmount (C)", []).append(float(out.stdout))
    return {who: statistics.median(values) for who, values in samples.items()}


def report(figures):
    out = [f"reading a {ENTRIES:,}-entry fstab (median)"]
    base = figures.get("libmount (C)")
    for who, ns in figures.items():
        ratio = f"{ns / base:>8.2f}x C" if base else ""
        out.append(f"  {who:26}{ns / 1e6:>9.3f} ms{ratio}")
    return out


if __name__ == "__main__":
    print("\n".join(report(parsed(int(sys.argv[1]) if len(sys.argv) > 1 else 3))))
