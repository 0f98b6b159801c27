"""scripts/watch.sh: the command runs in the caller's folder, with the script's arguments, and its
status is the script's."""

import subprocess
from pathlib import Path

from raw_monitor import REPO


def test_the_command_runs_in_the_callers_folder(tmp_path: Path) -> None:
    run = subprocess.run(
        [str(REPO / "scripts" / "watch.sh"), "--", "sh", "-c", 'pwd; exit "$1"', "sh", "3"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert (run.returncode, run.stdout) == (3, f"{tmp_path}\n"), run.stderr
