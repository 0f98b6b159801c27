"""The one error type the client raises for anything the monitor or its process did wrong.

Arguments that fail validation raise the standard TypeError (wrong kind of value) or ValueError
(out of range) instead, before anything is sent.
"""

from typing import Literal

#: Codes the monitor writes in its error events.
MonitorErrorCode = Literal["invalid-command", "protocol-mismatch", "not-configured"]

#: The monitor's codes plus the client's own: "monitor-exited" (the monitor ended, or was shut
#: down, before answering), "start-failed" (it could not be started or sent no valid hello),
#: "protocol-error" (it wrote a line that is not a valid event or one longer than 128 MiB, or closed
#: its output and kept running; the client then ends it).
TreemonErrorCode = Literal[
    "invalid-command", "protocol-mismatch", "not-configured", "monitor-exited", "start-failed", "protocol-error"
]


class TreemonError(Exception):
    """A failure the monitor reported, or the end of the conversation with it."""

    def __init__(self, code: TreemonErrorCode, message: str, recoverable: bool = False) -> None:
        super().__init__(message)
        self.code: TreemonErrorCode = code
        self.message = message
        #: As the monitor reports it; False for the client's own codes, after which the client is
        #: unusable.
        self.recoverable = recoverable

    def __repr__(self) -> str:
        return f"TreemonError({self.code!r}, {self.message!r}, recoverable={self.recoverable})"
