"""The introspection records exported by the shared object."""

import json
import re

import pytest

import brimlet

elffile = pytest.importorskip("elftools.elf.elffile")

ANY = "typing.Any"
ANY_OR_NONE = "typing.Any | None"

PARSER_METHODS = {
    "start": ([], "None"),
    "stop": ([], "None"),
    "is_running": ([], "bool"),
    "get_data_packets": ([("block", "False", "bool")], ANY),
    "__enter__": ([], ANY),
    "__exit__": ([("_exc_type", None, ANY_OR_NONE), ("_exc_value", None, ANY_OR_NONE), ("_traceback", None, ANY_OR_NONE)], ANY),
}
PACKET_PROPERTIES = [
    "packet_type", "timestamp", "invalid_fields", "scaled_accel", "scaled_gyro", "delta_vel",
    "delta_theta", "scaled_ambient_pressure", "est_pressure_alt", "est_orient_quaternion",
    "est_attitude_uncert_quaternion", "est_angular_rate", "est_compensated_accel",
    "est_linear_accel", "est_gravity_vector",
]  # fmt: skip

# (class, member) -> (arguments after self/cls as (name, default, annotation), returns, is property)
EXPECTED = {
    ("SerialParser", "__new__"): (
        [("port", None, ANY), ("baudrate", "None", "int | None"), ("timeout", "0.1", "float | None")],
        "None",
        False,
    ),
    ("MockParser", "__new__"): ([("path", None, ANY), ("timeout", "0.1", "float | None")], "None", False),
    **{(cls, name): (args, ret, False) for cls in ("SerialParser", "MockParser") for name, (args, ret) in PARSER_METHODS.items()},
    **{("IMUPacket", name): ([], {"timestamp": "int", "packet_type": "str"}.get(name, ANY), True) for name in PACKET_PROPERTIES},
    ("IMUPacket", "__str__"): ([], "str", False),
}


def exported_records() -> dict[str, bytes]:
    """Name -> bytes of every exported data object of the shared object."""
    with open(brimlet.__file__, "rb") as stream:
        elf = elffile.ELFFile(stream)
        symbols = elf.get_section_by_name(".dynsym")
        records = {}
        for symbol in symbols.iter_symbols():
            if symbol["st_info"]["type"] != "STT_OBJECT" or symbol["st_shndx"] == "SHN_UNDEF":
                continue
            if symbol["st_info"]["bind"] != "STB_GLOBAL" or not re.fullmatch(r"[A-Z0-9_]+", symbol.name):
                continue
            section = elf.get_section(symbol["st_shndx"])
            assert section.name == ".rodata", symbol.name
            start = symbol["st_value"] - section["sh_addr"]
            records[symbol.name] = section.data()[start : start + symbol["st_size"]]
        return records


@pytest.fixture(scope="module")
def records() -> dict[str, dict]:
    decoded = {}
    for name, data in exported_records().items():
        length = int.from_bytes(data[:4], "little")
        assert 4 + length <= len(data), name
        assert data[4 + length :].strip(b"\0") == b"", name
        text = data[4 : 4 + length].decode("utf-8")
        value = json.loads(text)
        assert len(json.dumps(value, separators=(",", ":"))) == length, f"{name} is not compact"
        decoded[name] = value
    return decoded


def test_symbol_names(records):
    assert len(records) == 34
    prefixes = {re.fullmatch(r"([A-Z][A-Z0-9_]*?)1_(\d+)", name).group(1) for name in records}
    assert len(prefixes) == 1


def test_module_and_class_records(records):
    (module,) = [r for r in records.values() if r["type"] == "module"]
    assert module == {"type": "module", "name": "brimlet", "id": module["id"], "incomplete": True, "members": []}
    assert module["id"].isdigit()
    classes = [r for r in records.values() if r["type"] == "class"]
    assert sorted(r["name"] for r in classes) == ["IMUPacket", "MockParser", "SerialParser"]
    assert all(set(r) == {"type", "name", "id"} and r["id"].isdigit() for r in classes)
    assert len({r["id"] for r in classes}) == 3


def test_function_records(records):
    class_by_id = {r["id"]: r["name"] for r in records.values() if r["type"] == "class"}
    functions = {}
    for record in records.values():
        if record["type"] != "function":
            continue
        key = (class_by_id[record["parent"]], record["name"])
        assert key not in functions
        functions[key] = record
    assert functions.keys() == EXPECTED.keys()

    for key, (args, returns, is_property) in EXPECTED.items():
        record = functions[key]
        first = "cls" if key[1] == "__new__" else "self"
        arguments = {"posonlyargs": [{"name": first}]}
        if args:
            arguments["args"] = [
                {"name": n, "annotation": a, **({"default": d} if d is not None else {})} for n, d, a in args
            ]
        assert record["arguments"] == arguments, key
        assert record["returns"] == returns, key
        if is_property:
            assert record["decorators"] == ["property"], key
        else:
            assert "decorators" not in record, key
        assert set(record) <= {"type", "name", "parent", "arguments", "returns", "decorators"}
