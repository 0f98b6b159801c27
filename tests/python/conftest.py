import json
import sys
from typing import Any, Dict

import jsonschema
import pytest

from raw_monitor import REPO

# The client under test is the one in this tree, unless an installed one is asked for.
if "--installed-client" not in sys.argv:
    sys.path.insert(0, str(REPO / "clients" / "python"))

SCHEMA_PATH = REPO / "docs" / "protocol.schema.json"


def pytest_addoption(parser: Any) -> None:
    parser.addoption(
        "--installed-client",
        action="store_true",
        help="test the treemon package installed in this Python, not the one in the tree",
    )


class Schema:
    """docs/protocol.schema.json, with a validator for each of its two kinds of line."""

    def __init__(self) -> None:
        self.document: Dict[str, Any] = json.loads(SCHEMA_PATH.read_text(encoding="utf-8"))
        jsonschema.Draft202012Validator.check_schema(self.document)
        resolver = jsonschema.RefResolver.from_schema(self.document)
        self.whole = jsonschema.Draft202012Validator(self.document)
        self.command = jsonschema.Draft202012Validator(self.document["$defs"]["command"], resolver=resolver)
        self.event = jsonschema.Draft202012Validator(self.document["$defs"]["event"], resolver=resolver)


@pytest.fixture(scope="session")
def schema() -> Schema:
    return Schema()
