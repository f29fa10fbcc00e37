import importlib

import pytest

EXTENSION_MODULES = [
    "kavrel.user.connections.manager",
    "kavrel.salesforce.vantro",
    "kavrel.cli.commands.tallyra",
    "kavrel.cli.commands.mintova",
    "kavrel.util.csv",
]


@pytest.mark.parametrize("name", EXTENSION_MODULES)
def test_extension_module_is_compiled_and_registered_under_its_dotted_name(name):
    module = importlib.import_module(name)
    assert module.__name__ == name
    assert module.__file__.endswith(".so")
