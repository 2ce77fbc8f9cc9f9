"""Argument binding and conversion of the parser classes: the exact TypeError,
OverflowError and internal-error texts, and which values are accepted."""

from __future__ import annotations

import os
import pathlib
import re

import pytest

import brimlet
from conftest import is_panic

MISSING_PORT = "/nonexistent/brimlet-port"


@pytest.fixture
def path(tmp_path: pathlib.Path) -> str:
    target = tmp_path / "empty.bin"
    target.write_bytes(b"")
    return str(target)


@pytest.fixture
def parser(path: str) -> brimlet.MockParser:
    return brimlet.MockParser(path, timeout=0.0)


# --- binding -----------------------------------------------------------------

# Python functions with the same parameters: the interpreter's own messages for
# them, with the callable's full name in front, are what binding must report.
def __new__serial(port, baudrate=None, timeout=0.1): ...
def __new__mock(path, timeout=0.1): ...
def get_data_packets(block=False): ...
def __exit__(_exc_type, _exc_value, _traceback): ...


# "FIRST" stands for the first parameter's name ("port" or "path").
CONSTRUCTOR_CALLS = [
    ((), {}),
    ((1, 2, 3, 4), {}),
    ((1,), {"FIRST": 2}),
    ((), {"timeout": 1}),
    ((1,), {"speed": 1}),
    ((1, 2, 3, 4), {"bogus": 1}),
    ((1, 2, 3, 4, 5), {"timeout": 1}),
    ((), {"bogus": 1, "FIRST": 1}),
    ((), {"FIRST": 1, "bogus": 1}),
]


def interpreter_message(function, name: str, args, kwargs) -> str:
    try:
        function(*args, **kwargs)
    except TypeError as exc:
        return re.sub(r"^\w+\(\)", name, str(exc))
    raise AssertionError("the oracle accepted the call")


@pytest.mark.parametrize("args, kwargs", CONSTRUCTOR_CALLS)
@pytest.mark.parametrize(
    "cls, oracle, first",
    [(brimlet.SerialParser, __new__serial, "port"), (brimlet.MockParser, __new__mock, "path")],
)
def test_constructor_binding_matches_the_interpreter(cls, oracle, first, args, kwargs):
    kwargs = {(first if k == "FIRST" else k): v for k, v in kwargs.items()}
    expected = interpreter_message(oracle, f"{cls.__name__}.__new__()", args, kwargs)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: brimlet.SerialParser(), "SerialParser.__new__() missing 1 required positional argument: 'port'"),
        (
            lambda: brimlet.SerialParser(1, 2, 3, 4),
            "SerialParser.__new__() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (lambda: brimlet.MockParser("x", port=1), "MockParser.__new__() got an unexpected keyword argument 'port'"),
        (
            lambda: brimlet.SerialParser("x", 1, baudrate=2),
            "SerialParser.__new__() got multiple values for argument 'baudrate'",
        ),
        # Binding problems are reported before any argument is converted.
        (lambda: brimlet.MockParser(b"x", x=1), "MockParser.__new__() got an unexpected keyword argument 'x'"),
    ],
)
def test_constructor_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((True, False), {}, "takes from 0 to 1 positional arguments but 2 were given"),
        ((), {"wait": True}, "got an unexpected keyword argument 'wait'"),
        ((True,), {"block": True}, "got multiple values for argument 'block'"),
    ],
)
def test_get_data_packets_binding(parser, args, kwargs, message):
    expected = interpreter_message(get_data_packets, "MockParser.get_data_packets()", args, kwargs)
    assert expected == f"MockParser.get_data_packets() {message}"
    with pytest.raises(TypeError) as info:
        parser.get_data_packets(*args, **kwargs)
    assert str(info.value) == expected


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "missing 3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'"),
        ((None,), {}, "missing 2 required positional arguments: '_exc_value' and '_traceback'"),
        ((None, None), {}, "missing 1 required positional argument: '_traceback'"),
        ((), {"_traceback": None}, "missing 2 required positional arguments: '_exc_type' and '_exc_value'"),
        ((None,) * 4, {}, "takes 3 positional arguments but 4 were given"),
        ((None,) * 3, {"exc": None}, "got an unexpected keyword argument 'exc'"),
        ((None,) * 3, {"_exc_type": None}, "got multiple values for argument '_exc_type'"),
    ],
)
def test_exit_binding(parser, args, kwargs, message):
    expected = interpreter_message(__exit__, "MockParser.__exit__()", args, kwargs)
    assert expected == f"MockParser.__exit__() {message}"
    with pytest.raises(TypeError) as info:
        parser.__exit__(*args, **kwargs)
    assert str(info.value) == expected


def test_exit_accepts_three_arguments_by_keyword(parser):
    assert parser.__exit__(_exc_type=None, _exc_value=None, _traceback=None) is None


@pytest.mark.parametrize("method", ["start", "stop", "is_running", "get_data_packets", "__enter__"])
def test_method_through_the_class_with_a_foreign_self(method):
    with pytest.raises(TypeError, match="int") as info:
        getattr(brimlet.SerialParser, method)(42)
    assert "SerialParser" in str(info.value)


# --- path and port -------------------------------------------------------------


class FsPath:
    def __init__(self, value):
        self.value = value

    def __fspath__(self):
        return self.value


@pytest.mark.parametrize(
    "value, message",
    [
        (b"/tmp/x", "'bytes' object cannot be cast as 'str'"),
        (FsPath(b"/tmp/x"), "'bytes' object cannot be cast as 'str'"),
        (None, "expected str, bytes or os.PathLike object, not NoneType"),
        (42, "expected str, bytes or os.PathLike object, not int"),
    ],
)
@pytest.mark.parametrize("cls, name", [(brimlet.MockParser, "path"), (brimlet.SerialParser, "port")])
def test_path_conversion_errors(cls, name, value, message):
    with pytest.raises(TypeError) as info:
        cls(value)
    assert str(info.value) == f"argument '{name}': {message}"


def test_path_like_objects_are_accepted(path):
    brimlet.MockParser(pathlib.Path(path))
    brimlet.MockParser(FsPath(path))


def test_fspath_errors_other_than_type_errors_pass_unchanged():
    class Broken:
        def __fspath__(self):
            raise ValueError("no path here")

    with pytest.raises(ValueError, match="^no path here$"):
        brimlet.MockParser(Broken())


def test_undecodable_bytes_reach_the_recording_unchanged(tmp_path):
    # A name that is not UTF-8 arrives as a str with escaped surrogates.
    raw = os.fsencode(str(tmp_path)) + b"/rec\xff.bin"
    with open(raw, "wb"):
        pass
    brimlet.MockParser(os.fsdecode(raw))


def test_serial_port_that_is_not_utf8_is_an_internal_error():
    with pytest.raises(BaseException) as info:
        brimlet.SerialParser("/tmp/brimlet-\udcff")
    assert is_panic(info.value)


# --- baudrate -------------------------------------------------------------------


class Index:
    def __index__(self):
        return 9600


@pytest.mark.parametrize("value", [None, 0, 1, True, 9600, 4294967295, Index()])
def test_baudrate_accepted(value):
    # Accepted values get as far as opening the port.
    with pytest.raises(OSError, match="^No such file or directory$"):
        brimlet.SerialParser(MISSING_PORT, value)


@pytest.mark.parametrize("value", [-1, 2**32, 2**63 - 1, -(2**63)])
def test_baudrate_out_of_range(value):
    with pytest.raises(OverflowError) as info:
        brimlet.SerialParser(MISSING_PORT, baudrate=value)
    assert str(info.value) == "out of range integral type conversion attempted"


@pytest.mark.parametrize("value", [2**64, -(2**64)])
def test_baudrate_beyond_64_bits_keeps_the_interpreters_error(value):
    with pytest.raises(OverflowError) as info:
        brimlet.SerialParser(MISSING_PORT, baudrate=value)
    assert not str(info.value).startswith("argument")
    assert str(info.value) != "out of range integral type conversion attempted"


@pytest.mark.parametrize(
    "value, message",
    [
        (9600.0, "'float' object cannot be interpreted as an integer"),
        ("9600", "'str' object cannot be interpreted as an integer"),
    ],
)
def test_baudrate_not_an_integer(value, message):
    with pytest.raises(TypeError) as info:
        brimlet.SerialParser(MISSING_PORT, value)
    assert str(info.value) == f"argument 'baudrate': {message}"


# --- timeout --------------------------------------------------------------------


class Seconds:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("value", [None, 0, 1, 0.5, -1.0, float("nan"), float("inf"), Seconds(), Index()])
def test_timeout_accepted_without_range_check(path, value):
    brimlet.MockParser(path, value)
    brimlet.MockParser(path, timeout=value)


@pytest.mark.parametrize("cls, target", [(brimlet.MockParser, "path"), (brimlet.SerialParser, "port")])
def test_timeout_not_a_number(cls, target, path):
    with pytest.raises(TypeError) as info:
        cls(path if target == "path" else MISSING_PORT, timeout="0.1")
    assert str(info.value) == "argument 'timeout': must be real number, not str"


# --- block ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")],
)
def test_block_must_be_a_bool(parser, value, name):
    for call in (lambda: parser.get_data_packets(value), lambda: parser.get_data_packets(block=value)):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == f"argument 'block': '{name}' object cannot be cast as 'bool'"


def test_block_false_by_position_and_keyword(parser):
    assert parser.get_data_packets(False) == []
    assert parser.get_data_packets(block=False) == []


@pytest.mark.parametrize("call", [lambda p: p.get_data_packets(True), lambda p: p.get_data_packets(block=True)])
def test_block_true_by_position_and_keyword_waits(parser, call):
    with pytest.raises(OSError, match="^timed out waiting on channel$"):
        call(parser)


def numpy_like(name: str, truth=None) -> object:
    namespace = {"__module__": "numpy"}
    if truth is not None:
        namespace["__bool__"] = lambda self: truth
    return type(name, (), namespace)()


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_block_numpy_boolean_through_its_truth_slot(parser, name):
    assert parser.get_data_packets(numpy_like(name, False)) == []
    with pytest.raises(OSError, match="^timed out waiting on channel$"):
        parser.get_data_packets(numpy_like(name, True))


@pytest.mark.parametrize("name", ["bool_", "bool"])
def test_block_numpy_boolean_without_truth_slot(parser, name):
    with pytest.raises(TypeError) as info:
        parser.get_data_packets(numpy_like(name))
    assert str(info.value) == f"argument 'block': object of type '{name}' does not define a '__bool__' conversion"


def test_block_look_alike_outside_numpy_is_refused(parser):
    impostor = type("bool_", (), {"__bool__": lambda self: False})()
    with pytest.raises(TypeError) as info:
        parser.get_data_packets(impostor)
    assert str(info.value) == "argument 'block': 'bool_' object cannot be cast as 'bool'"


def test_block_real_numpy_booleans(parser):
    numpy = pytest.importorskip("numpy")
    assert parser.get_data_packets(numpy.bool_(False)) == []
    with pytest.raises(OSError, match="^timed out waiting on channel$"):
        parser.get_data_packets(numpy.bool_(True))
