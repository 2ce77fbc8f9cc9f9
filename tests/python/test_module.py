"""The module as Python sees it: attributes, classes, re-import, interpreters."""

import importlib
import inspect
import re
import subprocess
import sys
import textwrap
import threading

import pytest

import brimlet

CLASSES = ["SerialParser", "MockParser", "IMUPacket"]


def test_attributes():
    assert type(brimlet.VERSION) is str and brimlet.VERSION == "0.2.0"
    assert brimlet.RELEASE_BUILD is True
    assert type(brimlet.__all__) is list
    assert brimlet.__all__ == ["SerialParser", "MockParser", "IMUPacket", "VERSION", "RELEASE_BUILD"]
    assert brimlet.__doc__ == ""
    assert brimlet.__name__ == "brimlet"
    public = {name for name in vars(brimlet) if not name.startswith("__")}
    assert public == set(brimlet.__all__)
    assert not hasattr(brimlet, "PanicException")


@pytest.mark.parametrize("name", CLASSES)
def test_class_names(name):
    cls = getattr(brimlet, name)
    assert isinstance(cls, type)
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name and cls.__name__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize(
    "name, signature",
    [("SerialParser", "(port, baudrate=None, timeout=0.1)"), ("MockParser", "(path, timeout=0.1)")],
)
def test_parser_signatures(name, signature):
    cls = getattr(brimlet, name)
    assert str(inspect.signature(cls)) == signature
    assert cls.__doc__ in ("", None)


def test_packet_class_has_no_doc_and_no_constructor():
    assert brimlet.IMUPacket.__doc__ is None
    with pytest.raises(TypeError):
        brimlet.IMUPacket()


def test_class_objects_stay_mutable(recording):
    brimlet.SerialParser.extra = 42
    try:
        assert brimlet.SerialParser.extra == 42
    finally:
        del brimlet.SerialParser.extra
    assert not hasattr(brimlet.SerialParser, "extra")
    parser = brimlet.MockParser(recording(b""))
    with pytest.raises(AttributeError):
        parser.extra = 1


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("brimlet")
    try:
        again = importlib.import_module("brimlet")
        assert again is first
        assert importlib.reload(again) is first
        assert again.__all__ == ["SerialParser", "MockParser", "IMUPacket", "VERSION", "RELEASE_BUILD"]
    finally:
        sys.modules["brimlet"] = first


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )


SUBINTERPRETER_IMPORT = """
    import brimlet
    import _interpreters
    from concurrent import interpreters

    # An isolated interpreter refuses single-phase modules on its own; one with
    # the legacy settings reaches the module's entry function.
    isolated = interpreters.create()
    try:
        isolated.exec("import brimlet")
    except interpreters.ExecutionFailed as failure:
        print(failure.excinfo.type.__name__)
    isolated.close()

    legacy = _interpreters.create(_interpreters.new_config("legacy"))
    for _ in range(2):
        failure = _interpreters.exec(legacy, "import brimlet")
        print(failure.type.__name__, failure.msg)
    _interpreters.destroy(legacy)

    print(brimlet.VERSION, brimlet.MockParser.__name__, brimlet.IMUPacket.__name__)
"""


def test_subinterpreter_import_is_refused():
    result = run_python(SUBINTERPRETER_IMPORT)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "ImportError"
    for line in lines[1:3]:
        assert line.startswith("ImportError ") and "do not yet support sub-interpreters" in line
    assert lines[3] == "0.2.0 MockParser IMUPacket"


def panic_from_foreign_thread(parser) -> BaseException:
    caught = []

    def use():
        try:
            parser.get_data_packets()
        except BaseException as error:  # noqa: BLE001 - the point of the test
            caught.append(error)

    worker = threading.Thread(target=use, name="foreign-worker")
    worker.start()
    worker.join()
    assert len(caught) == 1
    return caught[0]


def test_internal_error_raises_panic_exception_with_diagnostic(recording, capfd):
    parser = brimlet.MockParser(recording(b""))
    error = panic_from_foreign_thread(parser)
    panic = type(error)
    assert panic.__name__ == "PanicException"
    assert panic.__module__ == "brimlet"
    assert panic.__bases__ == (BaseException,)
    assert not isinstance(error, Exception)
    assert "SystemExit" in panic.__doc__
    assert len(error.args) == 1 and "is unsendable, but sent to another thread" in error.args[0]
    # The class is made once and reused.
    assert type(panic_from_foreign_thread(parser)) is panic

    diagnostic = capfd.readouterr().err
    assert re.search(r'internal error in thread "foreign-worker" \(id \d+\) at \S+\.cpp:\d+:\d+ ', diagnostic)
    assert "is unsendable, but sent to another thread" in diagnostic
    # The object is still usable on its owner thread.
    assert parser.get_data_packets() == []
