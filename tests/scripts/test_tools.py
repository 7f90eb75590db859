"""The set-up scripts: finding the Debian mirror in any form of apt
configuration, and saying what stopped a script."""

from __future__ import annotations

import subprocess
from pathlib import Path

import pytest

TOOLS = Path(__file__).resolve().parents[2] / "tools"

DEB822_MAIN = "Types: deb\nURIs: http://deb822.example/debian\nSuites: trixie trixie-updates\nComponents: main\n"
DEB822_SECURITY = (
    "Types: deb\nURIs: http://security.example/debian-security\nSuites: trixie-security\nComponents: main\n"
)
ONE_LINE = "deb http://one-line.example/debian/ bookworm main\n"


@pytest.mark.parametrize(
    ("sources_list", "parts", "mirror"),
    [
        pytest.param(ONE_LINE, {}, "http://one-line.example/debian", id="one-line sources.list (debootstrap's)"),
        pytest.param(None, {"debian.sources": DEB822_MAIN}, "http://deb822.example/debian", id="deb822 only"),
        pytest.param(
            "deb [arch=amd64 signed-by=/k.gpg] http://opts.example/debian sid main\n",
            {},
            "http://opts.example/debian",
            id="one-line with options",
        ),
        pytest.param(ONE_LINE, {"debian.sources": DEB822_MAIN}, "http://one-line.example/debian", id="both forms"),
        pytest.param(
            None,
            {"a-security.sources": DEB822_SECURITY, "b.sources": DEB822_MAIN, "c.list": ONE_LINE},
            "http://deb822.example/debian",
            id="several files, security archive first",
        ),
        pytest.param("# deb http://commented.example/debian bookworm main\n", {}, None, id="only a comment: no mirror"),
        pytest.param(None, {}, None, id="no sources at all"),
    ],
)
def test_mirror_is_found_in_every_form_of_apt_sources(tmp_path, sources_list, parts, mirror):
    (tmp_path / "parts").mkdir()
    if sources_list is not None:
        (tmp_path / "sources.list").write_text(sources_list)
    for name, text in parts.items():
        (tmp_path / "parts" / name).write_text(text)
    conf = tmp_path / "apt.conf"
    conf.write_text(f'Dir::Etc::SourceList "{tmp_path}/sources.list";\nDir::Etc::SourceParts "{tmp_path}/parts";\n')
    run = subprocess.run(
        [str(TOOLS / "debian-root"), "mirror"], env={"APT_CONFIG": str(conf), "PATH": "/usr/bin:/bin"},
        capture_output=True, text=True,
    )  # fmt: skip
    if mirror is None:
        assert run.returncode != 0
        assert run.stdout == ""
        assert "no Debian mirror in this machine's apt sources" in run.stderr
    else:
        assert (run.returncode, run.stdout, run.stderr) == (0, mirror + "\n", "")


def test_a_failing_command_names_script_line_and_command(tmp_path):
    script = tmp_path / "stage"
    script.write_text(
        f'. "{TOOLS}/lib.sh"\nf() {{ cat {tmp_path}/*.sources | wc -l; }}\ncount=$(f)\necho "not reached"\n'
    )
    run = subprocess.run(["bash", str(script)], capture_output=True, text=True)
    assert run.returncode == 1
    assert run.stdout == ""
    # The pipeline's failure is named where it happened, then where it was called.
    assert run.stderr.splitlines()[1:] == [
        f"{script}: line 2: `wc -l` failed (exit status 1)",
        f"{script}: line 3: `count=$(f)` failed (exit status 1)",
    ]


def test_a_quiet_build_shows_the_end_of_its_log_when_it_fails(tmp_path):
    script = tmp_path / "stage"
    script.write_text(
        f'. "{TOOLS}/lib.sh"\n'
        "quietly 'make' sh -c 'seq 1 100; echo \"error: no rule\" >&2; exit 2'\n"
        "echo 'not reached'\n"
    )
    run = subprocess.run(["bash", str(script)], capture_output=True, text=True)
    assert run.returncode == 2
    assert run.stdout == ""
    lines = run.stderr.splitlines()
    assert lines[0] == "== make failed (exit status 2); the end of its log:"
    assert lines[1:41] == [f"   | {n}" for n in range(62, 101)] + ["   | error: no rule"]
    assert lines[41] == f"{script}: line 2: the call on that line failed (exit status 2)"
