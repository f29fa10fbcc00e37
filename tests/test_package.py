import importlib
import inspect
import json
import math
import subprocess
import sys
import traceback
import types

import pytest

from kavrel._extensions import EXTENSION_MODULES


@pytest.mark.parametrize("name", EXTENSION_MODULES)
def test_extension_module_is_compiled_and_registered_under_its_dotted_name(name):
    module = importlib.import_module(name)
    assert module.__name__ == name
    assert module.__file__.endswith(".so")


def public_functions():
    for name in EXTENSION_MODULES:
        module = importlib.import_module(name)
        for attribute, value in vars(module).items():
            if isinstance(value, types.BuiltinFunctionType):
                yield pytest.param(value, id=f"{name}.{attribute}")


# "FIRST" stands for the function's first parameter, so a keyword can collide with a position.
WRONG_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1,) * 7, {}),
    ((), {"nope": 1}),
    ((1,), {"records": 1}),
    ((), {"records": 1, "other": 2}),
    ((1,), {"FIRST": 1}),
    ((1,) * 7, {"FIRST": 1}),
    ((1,) * 7, {"nope": 1}),
    ((), {"\udcff": 1}),
]


def python_twin(function):
    """A def with the same name and signature, to hold the compiled one to Python's behaviour."""
    namespace = {}
    exec(f"def {function.__name__}{inspect.signature(function)}: return 'bound'", namespace)
    return namespace[function.__name__]


def outcome(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return "bound"


@pytest.mark.parametrize("function", list(public_functions()))
@pytest.mark.parametrize(("args", "kwargs"), WRONG_CALLS)
def test_wrong_calls_fail_exactly_as_a_python_function_would(function, args, kwargs):
    twin = python_twin(function)
    first = next(iter(inspect.signature(function).parameters), "nope")
    kwargs = {first if key == "FIRST" else key: value for key, value in kwargs.items()}
    expected = outcome(twin, args, kwargs)
    if expected != "bound":
        assert outcome(function, args, kwargs) == expected


@pytest.mark.parametrize("dependency", ["kavrel.user.auth", "kavrel.user.salesforce_auth"])
def test_an_unimportable_dependency_fails_the_import_with_its_own_error(dependency):
    script = (
        f"import sys; sys.modules[{dependency!r}] = None\n"
        "try:\n"
        "    import kavrel.cli.commands.mintova\n"
        "except ImportError as error:\n"
        "    print(type(error).__name__, error.name, error)\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert result.stdout == (
        f"ModuleNotFoundError {dependency} import of {dependency} halted; None in sys.modules\n"
    )


def test_an_error_leaving_compiled_code_shows_the_function_it_left():
    from kavrel.util.csv import json_to_csv

    with pytest.raises(ValueError, match="NaN") as caught:
        json_to_csv([{"price": math.nan}])
    frames = traceback.extract_tb(caught.value.__traceback__)
    assert (frames[-1].filename, frames[-1].name) == ("kavrel/util/csv.cpp", "json_to_csv")


def test_the_local_server_imports_nothing_of_kavrel_but_the_record_rules():
    script = (
        "import json, sys, kavrel.salesforce.emulator\n"
        "print(json.dumps([m for m in sys.modules if m.startswith('kavrel')]))\n"
    )
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    own = ("kavrel.salesforce.emulator", "kavrel.salesforce.records")
    others = [m for m in json.loads(result.stdout) if not m.startswith(own)]
    assert sorted(others) == ["kavrel", "kavrel.salesforce"]
