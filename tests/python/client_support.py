"""Shared by the client tests: small process trees and waiting on real processes."""

import os
import signal
import subprocess
import time
from typing import Callable, TypeVar

T = TypeVar("T")


def start_tree() -> "subprocess.Popen[bytes]":
    """A shell with two sleeping children, in a session of its own."""
    return subprocess.Popen(["sh", "-c", "sleep 60 & sleep 60 & wait"], start_new_session=True)


def kill_tree(tree: "subprocess.Popen[bytes]") -> None:
    try:
        os.killpg(tree.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    tree.wait()


def eventually(probe: Callable[[], T], accept: Callable[[T], bool], tries: int = 50) -> T:
    """Probes until `accept` passes, polling the real processes (no fixed sleeps in assertions)."""
    last = probe()
    for _ in range(tries):
        if accept(last):
            break
        time.sleep(0.1)
        last = probe()
    return last
