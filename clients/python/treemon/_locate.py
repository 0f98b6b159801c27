"""Finds the monitor's executable: a path the caller gives, else $TREEMON_BINARY, else the first
executable treemon (treemon.exe on Windows) on PATH."""

import os
import shutil
from typing import Optional, Union

EXECUTABLE_NAME = "treemon.exe" if os.name == "nt" else "treemon"


def locate_monitor(explicit: "Optional[Union[str, os.PathLike[str]]]" = None) -> Optional[str]:
    """The executable to start, or None when none was found."""
    if explicit is not None:
        return os.fspath(explicit)
    from_environment = os.environ.get("TREEMON_BINARY")
    if from_environment:
        return from_environment
    return shutil.which(EXECUTABLE_NAME)
