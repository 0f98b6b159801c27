"""python -m treemon record ...: see treemon/record.py."""

import sys

from .record import main

USAGE = "usage: python -m treemon record [--binary PATH] [TREEMON_WATCH_OPTIONS] ([--] COMMAND [ARG...] | --pid N)"

if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] in ("--help", "-h"):
        print(
            f"{USAGE}\n\nRecords a command's process tree into CSV: runs treemon-watch --record-mode with the"
            "\narguments; python -m treemon record --help lists its options."
        )
        sys.exit(0)
    if len(sys.argv) < 2 or sys.argv[1] != "record":
        print(f"treemon: unknown command {sys.argv[1] if len(sys.argv) > 1 else '(none)'}\n{USAGE}", file=sys.stderr)
        sys.exit(2)
    sys.exit(main(sys.argv[2:]))
