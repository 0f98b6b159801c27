"""treemon: a typed client for the treemon process-tree monitor.

    from treemon import Treemon

    with Treemon.start() as monitor:
        monitor.configure(root_pid=pid, sample_interval_ms=1000)
        print(monitor.sample_now().processes)
"""

from .client import Treemon
from .errors import MonitorErrorCode, TreemonError, TreemonErrorCode
from .types import Capabilities, ExitInfo, ExternalProcess, ExternalProcessMatch, Hello, ProcessSample, Snapshot
from ._stream import SnapshotStream
from ._locate import locate_monitor

__version__ = "0.1.0"

__all__ = [
    "Capabilities",
    "ExitInfo",
    "ExternalProcess",
    "ExternalProcessMatch",
    "Hello",
    "MonitorErrorCode",
    "ProcessSample",
    "Snapshot",
    "SnapshotStream",
    "Treemon",
    "TreemonError",
    "TreemonErrorCode",
    "locate_monitor",
]
