"""The packet schema: the Python table (`brimlet_tools.wire.fields`) against the
built module, its stub and the Python shapes of a packet. A field added on one
side only fails here."""

from __future__ import annotations

import ast
import dataclasses
import struct
from pathlib import Path

import pytest

import brimlet
from brimlet_tools.sim.simulator import SimPacket
from brimlet_tools.wire import fields, frames

STUB = Path(__file__).resolve().parents[2] / "stubs" / "brimlet.pyi"


def stub_properties() -> list[str]:
    tree = ast.parse(STUB.read_text())
    (packet,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "IMUPacket"]
    return [
        node.name
        for node in packet.body
        if isinstance(node, ast.FunctionDef) and any(getattr(d, "id", None) == "property" for d in node.decorator_list)
    ]


def test_every_view_of_a_packet_has_the_schemas_properties_in_order():
    expected = list(fields.PROPERTY_NAMES)
    module = [name for name, value in vars(brimlet.IMUPacket).items() if type(value).__name__ == "getset_descriptor"]
    assert module == expected
    assert stub_properties() == expected
    assert [name for name, value in vars(fields.PacketLike).items() if isinstance(value, property)] == expected
    assert [f.name for f in dataclasses.fields(SimPacket)] == expected


def test_validity_names_are_those_of_the_flagged_fields_in_wire_order():
    flagged = [f for f in fields.DATA_FIELDS if f.validity_name]
    assert sorted(fields.VALIDITY_NAMES) == sorted(f.validity_name for f in flagged)
    assert [f.name for f in fields.WIRE_ORDER if f.validity_name] == [
        f.name for f in sorted(flagged, key=lambda f: (fields.DESCRIPTOR_SETS[f.packet_type], f.descriptor))
    ]


@pytest.mark.parametrize("field", fields.DATA_FIELDS, ids=lambda f: f.name)
def test_the_module_decodes_each_field_as_the_schema_describes_it(field, replay):
    values = [float(k + 1) for k in range(field.width)]
    data = frames.floats(values)
    if field.validity_name:
        data += struct.pack(">H", 0)  # flagged not valid
    (packet,) = replay(frames.frame(fields.DESCRIPTOR_SETS[field.packet_type], frames.field(field.descriptor, data)))
    assert packet.packet_type == field.packet_type
    assert getattr(packet, field.name) == (values[0] if field.width == 1 else values)
    assert [f.name for f in fields.DATA_FIELDS if getattr(packet, f.name) is not None] == [field.name]
    assert packet.invalid_fields == field.validity_name
