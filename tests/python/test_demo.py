"""scripts/run.sh -- COMMAND (scripts/demo.py): the command is watched to its end, never cut short,
and its exit status is the demo's."""

import subprocess
import sys

from raw_monitor import BINARY, REPO


def test_a_command_is_watched_until_it_ends_and_gives_its_status() -> None:
    run = subprocess.run(
        [sys.executable, str(REPO / "scripts" / "demo.py"), BINARY, "sh", "-c", "sleep 4.5; echo slept; exit 3"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 3, run.stdout + run.stderr
    assert "slept" in run.stdout.splitlines()
    assert run.stdout.count("(periodic)") >= 4, run.stdout
