"""MdfFile.get_metadata: the properties of the header block's XML comment, as
a dict in the order of the reader's property table (re-derived here by
property_map_model, independently of the module)."""

from __future__ import annotations

import io
import json
import pathlib
from typing import Any, Dict, List, Optional, Tuple

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import python_can_tolvar_mf4 as mod
from layer_tools import compressed_layer, encrypted_layer
from mdf_writer import CanFrame, Md, Property, RecordingWriter, Tx, hd_comment_xml
from property_map_model import slot_order

FIELDS = ["name", "description", "read_only", "unit", "value_raw", "value_type"]


def recording(comment: Any = None) -> RecordingWriter:
    w = RecordingWriter(comment=comment)
    g = w.data_group()
    g.can_channel_group(fd=False)
    g.add_frame(CanFrame(0.001, 0x123, b"\x01\x02"))
    return w


def metadata_of(data: bytes, **kwargs: Any) -> Dict[str, Any]:
    reader = mod.MdfFile(io.BytesIO(data), **kwargs)
    try:
        return reader.get_metadata()
    finally:
        reader.close()


def metadata_xml(xml: str) -> Dict[str, Any]:
    return metadata_of(recording(Md(xml)).to_bytes())


def prop(name: str, value: str = "", description: str = "", unit: str = "", type_: str = "",
         read_only: bool = False) -> Dict[str, Any]:
    return {"name": name, "description": description, "read_only": read_only, "unit": unit,
            "value_raw": value, "value_type": type_}


def test_spec_example_through_path_pathlib_and_file_object(tmp_path: pathlib.Path) -> None:
    xml = ('<R><common_properties><tree name="A"><e name="B" unit="s" type="integer" ro="true">42</e>'
           "</tree></common_properties></R>")
    path = tmp_path / "m.mf4"
    recording(Md(xml)).write(str(path))
    expected = {"R.A.B": prop("B", "42", unit="s", type_="integer", read_only=True)}
    for source in (str(path), path):
        reader = mod.MdfFile(source)
        assert reader.get_metadata() == expected
        reader.close()
    with open(path, "rb") as f:
        reader = mod.MdfFile(f)
        metadata = reader.get_metadata()
        reader.close()
    assert metadata == expected
    # Each property's keys come in a fixed order, and read_only is a real bool.
    assert list(metadata["R.A.B"]) == FIELDS
    assert metadata["R.A.B"]["read_only"] is True


@pytest.mark.parametrize("comment", [None, Tx("plain text"), "just a string", Md(""), Md("not xml at all"),
                                     Md("<R><common_properties><e name='a'>1</e></R>"),
                                     Md("<R><e name='a'>1</e></R>"),
                                     Md("<R><x><common_properties><e name='a'/></common_properties></x></R>")],
                         ids=["none", "tx", "str", "empty_md", "plain_md", "malformed", "outside", "too_deep"])
def test_no_properties_give_an_empty_dict(comment: Any) -> None:
    assert metadata_of(recording(comment).to_bytes()) == {}


def test_zero_padding_counted_in_the_block_length_is_ignored() -> None:
    """A writer that counts the 8-byte padding of the MD block in its length
    leaves zero bytes at the end of the text; the properties must survive."""
    xml = "<R><common_properties><e name='a' unit='V'>12</e></common_properties></R>"
    built = recording(Md(xml)).build()
    md = built.hd.links[5]
    assert md.code == b"##MD"
    md.data += b"\0" * (8 - (24 + len(md.data)) % 8 or 8)
    assert (24 + len(md.data)) % 8 == 0 and md.data.endswith(b"\0\0")
    assert metadata_of(built.to_bytes()) == {"R.a": prop("a", "12", unit="V")}


def test_values_entities_cdata_and_non_ascii() -> None:
    xml = ('<?xml version="1.0" encoding="UTF-8"?><Gerät><common_properties>'
           '<tree name="Fahrzeug"><e name="Temperatur" unit="°C" type="float">   -3.5\n</e>'
           '<e name="Kennzeichen" description="Zulassung &amp; Ort">M-&#xC4;B 1</e>'
           "<e name='cdata'><![CDATA[<x> & y]]></e><e name='温度'>🚗</e></tree>"
           "</common_properties></Gerät>")
    md = metadata_xml(xml)
    assert md == {k: md[k] for k in md}  # plain dict of str keys
    assert md["Gerät.Fahrzeug.Temperatur"] == prop("Temperatur", "-3.5\n", unit="°C", type_="float")
    assert md["Gerät.Fahrzeug.Kennzeichen"]["value_raw"] == "M-ÄB 1"
    assert md["Gerät.Fahrzeug.Kennzeichen"]["description"] == "Zulassung & Ort"
    assert md["Gerät.Fahrzeug.cdata"]["value_raw"] == "<x> & y"
    assert md["Gerät.Fahrzeug.温度"]["value_raw"] == "🚗"


def test_first_property_of_a_path_wins_and_ro_must_be_exactly_true() -> None:
    xml = ("<R><common_properties><e name='a' ro='True'>first</e><e name='a' ro='true'>second</e>"
           "<e name='b' ro='1'/><e name='c' ro='yes'/><e name='d' ro='true'/></common_properties></R>")
    md = metadata_xml(xml)
    assert md["R.a"] == prop("a", "first")
    assert [md[k]["read_only"] for k in ("R.b", "R.c", "R.d")] == [False, False, True]


def test_list_contributes_its_element_name_and_missing_names_are_empty() -> None:
    xml = ("<R><common_properties><list name='L'><e name='x'>1</e></list><tree><e name='y'>2</e></tree>"
           "<tree name='T'><e>3</e></tree></common_properties></R>")
    md = metadata_xml(xml)
    assert sorted(md) == ["R..y", "R.T.", "R.list.x"]
    assert md["R.T."] == prop("", "3")


def _paths(tree: Dict[str, Any], prefix: str) -> List[str]:
    out: List[str] = []
    for name, v in tree.items():
        if isinstance(v, dict):
            out += _paths(v, f"{prefix}.{name}")
        else:
            out.append(f"{prefix}.{name}")
    return out


def device_configuration() -> Dict[str, Any]:
    def channel(bitrate: int, fd: bool) -> Dict[str, Any]:
        return {"bitrate": Property(str(bitrate), type="integer", unit="bit/s"),
                "data bitrate": Property(str(4 * bitrate if fd else 0), type="integer", unit="bit/s"),
                "fd": Property("true" if fd else "false", type="boolean"),
                "silent mode": Property("false", type="boolean"),
                "filters": {f"f{i}.id": Property(hex(0x700 + i), type="hex") for i in range(3)}}

    return {
        "device id": Property("CL3000-0042", ro="true"),
        "serial number": Property("2F0B9A11", ro="true"),
        "firmware version": Property("01.08.02", ro="true", description="application firmware"),
        "session no": Property("1843", type="integer", ro="true"),
        "Device Information": {"storage total": Property("31166", type="integer", unit="MB", ro="true"),
                               "storage free": Property("20411", type="integer", unit="MB", ro="true")},
        "CAN1": channel(500000, True),
        "CAN2": channel(250000, False),
        "CAN3": channel(1000000, True),
        "LIN1": {"bitrate": Property("19200", type="integer", unit="bit/s"), "mode": Property("subscriber")},
        "log": {"interval": Property("1000", type="integer", unit="ms"), "compression": Property("lzss"),
                "file split size": Property("512", type="integer", unit="MB")},
        "GNSS": {"enabled": Property("true", type="boolean"), "rate": Property("5", type="integer", unit="Hz")},
        "comment": Property("cold start", type="string"),
    }


def test_device_configuration_keys_come_in_table_slot_order() -> None:
    tree = device_configuration()
    md = metadata_xml(hd_comment_xml(tree, "fleet test"))
    paths = _paths(tree, "HDcomment")
    assert len(paths) > 30
    expected, _ = slot_order(p.encode() for p in paths)
    assert list(md) == [k.decode() for k in expected]
    assert list(md) != paths  # only worth checking because the orders differ
    assert md["HDcomment.CAN1.filters.f2.id"] == prop("f2.id", "0x702", type_="hex")
    assert md["HDcomment.firmware version"]["description"] == "application firmware"
    json.dumps(md)  # what a command-line program prints


def test_huge_comment() -> None:
    tree: Dict[str, Any] = {f"group{g}": {f"signal{i}": Property(str(g * 1000 + i), type="integer")
                                          for i in range(100)} for g in range(50)}
    tree["blob"] = Property("x" * (8 << 20) + "é", type="bytes")
    md = metadata_xml(hd_comment_xml(tree))
    paths = _paths(tree, "HDcomment")
    expected, _ = slot_order(p.encode() for p in paths)
    assert len(md) == 5001
    assert list(md) == [k.decode() for k in expected]
    assert md["HDcomment.group7.signal23"]["value_raw"] == "7023"
    assert md["HDcomment.blob"]["value_raw"] == tree["blob"].value


def test_every_call_returns_a_fresh_dict() -> None:
    reader = mod.MdfFile(io.BytesIO(recording(Md(hd_comment_xml({"a": "1"}))).to_bytes()))
    first = reader.get_metadata()
    first["HDcomment.a"]["value_raw"] = "changed"
    first["extra"] = {}
    assert reader.get_metadata() == {"HDcomment.a": prop("a", "1", type_="string")}
    reader.close()


def test_after_close_the_handle_is_closed() -> None:
    reader = mod.MdfFile(io.BytesIO(recording(Md(hd_comment_xml({"a": "1"}))).to_bytes()))
    reader.close()
    with pytest.raises(RuntimeError, match="^Handle has been closed$"):
        reader.get_metadata()
    with pytest.raises(TypeError):
        mod.MdfFile.get_metadata(reader, 1)  # type: ignore[call-arg]  # takes no arguments


def test_metadata_of_layered_recordings() -> None:
    inner = recording(Md(hd_comment_xml({"Device": {"serial": "ZR-7"}}))).to_bytes()
    expected = {"HDcomment.Device.serial": prop("serial", "ZR-7", type_="string")}
    assert metadata_of(compressed_layer(inner)) == expected
    assert metadata_of(encrypted_layer(compressed_layer(inner), "pw", key_id=0x1234ABCD),
                       passwords={"1234ABCD": "pw"}) == expected


# Hypothesis: arbitrary property trees round-trip, in the model's order.

# Text that XML can carry unchanged: no surrogates or non-characters, and no
# control characters in attributes (their line breaks and tabs become spaces).
_text = st.text(st.characters(exclude_categories=["Cs", "Cc"], exclude_characters="\ufffe\uffff"), max_size=12)
_value = st.text(st.characters(min_codepoint=0x20, exclude_categories=["Cs"], exclude_characters="\ufffe\uffff")
                 | st.sampled_from(["\n", "\t", " "]), max_size=12)
_name = st.text(st.sampled_from("ab.c é"), min_size=1, max_size=4)
_property = st.builds(Property, value=_value, type=st.none() | _text, unit=st.none() | _text,
                      description=st.none() | _text, ro=st.none() | st.sampled_from(["true", "True", "1", ""]))
_tree = st.recursive(st.dictionaries(_name, _property, max_size=6),
                     lambda children: st.dictionaries(_name, children | _property, max_size=6), max_leaves=40)


def _expected(tree: Dict[str, Any]) -> Tuple[List[str], Dict[str, Dict[str, Any]]]:
    """Paths in document order (repeats included) and the first property of each."""
    order: List[str] = []
    first: Dict[str, Dict[str, Any]] = {}

    def walk(t: Dict[str, Any], prefix: str) -> None:
        for name, v in t.items():
            path = f"{prefix}.{name}"
            if isinstance(v, dict):
                walk(v, path)
                continue
            order.append(path)
            if path not in first:
                first[path] = prop(name, v.value.lstrip(" "), v.description or "", v.unit or "", v.type or "",
                                   v.ro == "true")

    walk(tree, "HDcomment")
    return order, first


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(_tree)
def test_property_trees_round_trip_in_model_order(tree: Dict[str, Any]) -> None:
    md = metadata_xml(hd_comment_xml(tree))
    order, first = _expected(tree)
    keys, _ = slot_order(p.encode() for p in order)
    assert list(md) == [k.decode() for k in keys]
    assert md == first
