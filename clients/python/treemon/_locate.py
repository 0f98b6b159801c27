"""Finds one of the package's executables, the monitor (treemon) or the native recorder and live
view (treemon-watch), first match wins:

1. the path the caller gives (the library's `binary`, `record`'s --binary PATH),
2. the path in the tool's environment variable, TREEMON_BINARY or TREEMON_WATCH_BINARY,
3. the binary this package carries, treemon/bin/TOOL (TOOL.exe on Windows), as the platform wheels
   hold it,
4. the first executable TOOL on PATH.

A path named in 1-3 that cannot be used is an error, not a reason to look further: a broken install
or a mistyped path should be reported, not hidden by another treemon on PATH. The carried binary's
header is checked against the machine, so that a binary for another system fails with a clear
message instead of an exec error. A package installed from the source tree carries no binary.
"""

import os
import platform
import shutil
import stat
import sys
from dataclasses import dataclass
from typing import Mapping, Optional, Union

PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))

# ELF e_machine and PE machine values of the architectures treemon is built for.
_ELF_MACHINES = {62: "x86_64", 183: "aarch64", 3: "x86", 40: "arm"}
_PE_MACHINES = {0x8664: "x86_64", 0xAA64: "aarch64", 0x14C: "x86"}
_ARCH_ALIASES = {"amd64": "x86_64", "x64": "x86_64", "arm64": "aarch64", "i386": "x86", "i686": "x86"}


@dataclass(frozen=True)
class Machine:
    """A system and an architecture in treemon's own terms: ("linux", "x86_64"), ("windows", "aarch64")."""

    system: str
    arch: str

    def __str__(self) -> str:
        return f"{self.system}-{self.arch}"

    def executable_name(self, tool: str = "treemon") -> str:
        return f"{tool}.exe" if self.system == "windows" else tool


@dataclass(frozen=True)
class Tool:
    """An executable the package carries: its name without ".exe", and the variable that names it."""

    name: str
    variable: str


MONITOR = Tool("treemon", "TREEMON_BINARY")
WATCH = Tool("treemon-watch", "TREEMON_WATCH_BINARY")


def this_machine() -> Machine:
    system = "windows" if sys.platform == "win32" else sys.platform
    arch = platform.machine().lower()
    return Machine(system, _ARCH_ALIASES.get(arch, arch))


@dataclass(frozen=True)
class Location:
    """Either the executable to start or why none can be: exactly one of the two is set."""

    path: Optional[str] = None
    problem: Optional[str] = None


def carried_binary(machine: Machine, package_dir: str = PACKAGE_DIR, tool: Tool = MONITOR) -> str:
    return os.path.join(package_dir, "bin", machine.executable_name(tool.name))


def executable_target(file: str) -> Optional[Machine]:
    """The machine an executable is built for, from its header; None for anything else (a script,
    an unknown format, an unreadable file)."""
    try:
        with open(file, "rb") as handle:
            header = handle.read(64)
            if len(header) >= 20 and header[:4] == b"\x7fELF" and header[5] == 1:
                machine = int.from_bytes(header[18:20], "little")
                return Machine("linux", _ELF_MACHINES.get(machine, "unknown"))
            if len(header) >= 64 and header[:2] == b"MZ":
                handle.seek(int.from_bytes(header[0x3C:0x40], "little"))
                pe = handle.read(6)
                if len(pe) == 6 and pe[:4] == b"PE\0\0":
                    return Machine("windows", _PE_MACHINES.get(int.from_bytes(pe[4:6], "little"), "unknown"))
    except OSError:
        pass
    return None


def _unusable_because(file: str, machine: Machine) -> Optional[str]:
    """Why `file` cannot be started on `machine`, or None when it can."""
    try:
        info = os.stat(file)
    except FileNotFoundError:
        return "no such file (ENOENT)"
    except OSError as error:
        return error.strerror or str(error)
    if not stat.S_ISREG(info.st_mode):
        return "not a file"
    if machine.system != "windows" and not os.access(file, os.X_OK):
        return "not executable (EACCES)"
    target = executable_target(file)
    if target is not None and target != machine:
        return f"built for {target}, not for this {machine} machine"
    return None


def find_monitor(
    explicit: "Optional[Union[str, os.PathLike[str]]]" = None,
    explicit_name: str = "binary",
    environment: Optional[Mapping[str, str]] = None,
    package_dir: str = PACKAGE_DIR,
    machine: Optional[Machine] = None,
) -> Location:
    """Finds the monitor. `explicit_name` is how the caller's user names the explicit path
    ("binary" for the library), for the error texts."""
    return find_executable(MONITOR, explicit, explicit_name, environment, package_dir, machine)


def find_executable(
    tool: Tool,
    explicit: "Optional[Union[str, os.PathLike[str]]]",
    explicit_name: str,
    environment: Optional[Mapping[str, str]] = None,
    package_dir: str = PACKAGE_DIR,
    machine: Optional[Machine] = None,
) -> Location:
    """Finds `tool`; `explicit_name` names the explicit path in the error texts."""
    environment = os.environ if environment is None else environment
    machine = this_machine() if machine is None else machine
    named = [
        (None if explicit is None else os.fspath(explicit), explicit_name),
        (environment.get(tool.variable) or None, tool.variable),
    ]
    for file, source in named:
        if file is None:
            continue
        problem = _unusable_because(file, machine)
        if problem is None:
            return Location(path=file)
        return Location(problem=f"cannot use the {tool.name} executable {file} ({source}): {problem}")
    carried = carried_binary(machine, package_dir, tool)
    if os.path.lexists(carried):
        problem = _unusable_because(carried, machine)
        if problem is None:
            return Location(path=carried)
        return Location(
            problem=f"cannot use the {tool.name} executable this package carries, {carried}: {problem}; "
            f"reinstall the package, or pass {explicit_name} or set {tool.variable}"
        )
    on_path = shutil.which(machine.executable_name(tool.name), path=environment.get("PATH", ""))
    if on_path is not None:
        return Location(path=on_path)
    return Location(
        problem=f"{tool.name} executable not found: this package carries none for {machine} and there is "
        f"none on PATH; pass {explicit_name}, set {tool.variable} or put {tool.name} on PATH"
    )


def locate_monitor(explicit: "Optional[Union[str, os.PathLike[str]]]" = None) -> Optional[str]:
    """The executable to start, or None when none was found."""
    return find_monitor(explicit).path
