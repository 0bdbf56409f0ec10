"""Binding and conversion of the shape_json arguments, and what they carry to the engine."""

import os
import re

import numpy as np
import pytest

import _tesvo
from conftest import default_glyphs

F = b"\x00\x01\x00\x00"


def file_number(doc):
    match = re.fullmatch(r".*/tesvo_(\d+)_(\d+)\.font", doc["font_info"]["path"])
    assert match, doc["font_info"]["path"]
    assert int(match.group(1)) == os.getpid()
    return int(match.group(2))


class Outer:
    class Inner:
        pass


BIND_ERRORS = [
    ((F, "abc", "latn"), {}, "shape_json() takes 2 positional arguments but 3 were given"),
    ((F, "a", "b", "c"), {"bogus": 1},
     "shape_json() takes 2 positional arguments but 4 were given"),
    ((F,), {}, "shape_json() missing 1 required positional argument: 'text'"),
    ((), {"text": "a"}, "shape_json() missing 1 required positional argument: 'data'"),
    ((), {}, "shape_json() missing 2 required positional arguments: 'data' and 'text'"),
    ((F, "a"), {"data": F}, "shape_json() got multiple values for argument 'data'"),
    ((F, "a"), {"text": "b"}, "shape_json() got multiple values for argument 'text'"),
    ((F, "a"), {"Script": "latn"}, "shape_json() got an unexpected keyword argument 'Script'"),
    # Keywords are bound before the required parameters are looked at.
    ((F,), {"Script": "latn"}, "shape_json() got an unexpected keyword argument 'Script'"),
    ((), {"trace ": True}, "shape_json() got an unexpected keyword argument 'trace '"),
    # Keywords are taken in the dictionary's order.
    ((F, "a"), {"zed": 1, "data": F}, "shape_json() got an unexpected keyword argument 'zed'"),
    ((F, "a"), {"data": F, "zed": 1}, "shape_json() got multiple values for argument 'data'"),
]


@pytest.mark.parametrize("args, kwargs, message", BIND_ERRORS)
def test_binding_errors_raise_exact_type_error(engine, fake, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _tesvo.shape_json(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert fake.raw_log() == ""


CONVERSION_ERRORS = [
    ("data", bytearray(F), "'bytearray' object cannot be converted to 'PyBytes'"),
    ("data", memoryview(F), "'memoryview' object cannot be converted to 'PyBytes'"),
    ("data", "abc", "'str' object cannot be converted to 'PyBytes'"),
    ("data", None, "'NoneType' object cannot be converted to 'PyBytes'"),
    ("data", Outer.Inner(), "'Outer.Inner' object cannot be converted to 'PyBytes'"),
    ("text", b"abc", "'bytes' object cannot be converted to 'PyString'"),
    ("text", None, "'NoneType' object cannot be converted to 'PyString'"),
    ("script", None, "'NoneType' object cannot be converted to 'PyString'"),
    ("language", 1, "'int' object cannot be converted to 'PyString'"),
    ("direction", None, "'NoneType' object cannot be converted to 'PyString'"),
    ("features", 5, "'int' object cannot be converted to 'PyString'"),
    ("usp10", b"/lib.so", "'bytes' object cannot be converted to 'PyString'"),
    ("trace", 1, "'int' object cannot be converted to 'PyBool'"),
    ("trace", 0, "'int' object cannot be converted to 'PyBool'"),
    ("trace", None, "'NoneType' object cannot be converted to 'PyBool'"),
    ("trace", "True", "'str' object cannot be converted to 'PyBool'"),
    ("trace", np.int8(1), "'int8' object cannot be converted to 'PyBool'"),
    ("wine_bytes", 1.0, "'float' object cannot be converted to 'PyBool'"),
    ("textshaping", [], "'list' object cannot be converted to 'PyBool'"),
]


@pytest.mark.parametrize("name, value, detail", CONVERSION_ERRORS)
def test_wrong_type_names_parameter_and_type(engine, fake, name, value, detail):
    kwargs = {"data": F, "text": "abc", "usp10": fake.path, name: value}
    with pytest.raises(TypeError) as info:
        _tesvo.shape_json(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument '{name}': {detail}"
    assert fake.raw_log() == ""


@pytest.mark.parametrize("kwargs, reported", [
    ({"trace": 1, "script": None, "text": None, "data": bytearray()}, "data"),
    ({"textshaping": 1, "trace": 1, "features": 1, "script": None}, "script"),
    ({"textshaping": 1, "wine_bytes": 1, "usp10": 1}, "usp10"),
    ({"textshaping": 1, "wine_bytes": 1}, "wine_bytes"),
])
def test_only_first_wrong_parameter_in_declared_order_is_reported(engine, kwargs, reported):
    args = {"data": F, "text": "abc"}
    args.update(kwargs)
    with pytest.raises(TypeError, match=rf"^argument '{reported}': "):
        _tesvo.shape_json(**args)


@pytest.mark.parametrize("name", ["text", "script", "language", "direction", "features",
                                  "usp10"])
def test_lone_surrogate_raises_unicode_encode_error(engine, fake, name):
    kwargs = {"data": F, "text": "abc", "usp10": fake.path, name: "a\ud800b"}
    with pytest.raises(UnicodeEncodeError):
        _tesvo.shape_json(**kwargs)
    assert fake.raw_log() == ""


def test_argument_failures_take_no_file_number(engine, fake):
    before = file_number(engine.shape("a", fake))
    for kwargs in ({"trace": 1}, {"text": "\udc00"}, {"bogus": 1}):
        with pytest.raises((TypeError, UnicodeEncodeError)):
            engine.raw("a", fake, **kwargs)
    after = file_number(engine.shape("a", fake))
    assert after == before + 1


def test_subclasses_of_bytes_and_str_are_accepted(engine, fake):
    class B(bytes):
        pass

    class S(str):
        pass

    doc = engine.shape(S("ab"), fake, data=B(engine.font), script=S("latn"))
    assert doc["final"] == default_glyphs("ab")


def test_keyword_and_positional_data_text_agree(engine, fake):
    a = engine.shape("ab", fake)
    b = engine.shape(fake=fake, text="ab", data=engine.font)
    for doc in (a, b):
        doc["font_info"].pop("path")
    assert a == b


def _strip_path(doc):
    doc["font_info"].pop("path")
    doc["font_info"].pop("family")
    return doc


def test_features_none_empty_and_omitted_reach_engine_alike(engine, fake):
    results = []
    for kwargs in ({}, {"features": None}, {"features": ""}):
        fake.configure()
        results.append((_strip_path(engine.shape("ab", fake, **kwargs)), fake.call_names()))
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("kwargs", [
    {"script": "arab"}, {"language": "ar"}, {"wine_bytes": True}, {"script": "x" * 100},
])
def test_script_language_and_wine_bytes_do_not_change_the_request(engine, fake, kwargs):
    baseline = engine.shape("ab", fake)
    base_log = fake.raw_log()
    fake.configure()
    doc = engine.shape("ab", fake, **kwargs)
    assert _strip_path(doc) == _strip_path(baseline)
    assert fake.raw_log() == base_log
    assert fake.call_names()[0] == "setfont"


def test_numpy_bool_is_read_as_its_value(engine, fake):
    fake.configure("stage name=cmap glyphs=1,2")
    traced = engine.shape("ab", fake, trace=np.bool_(True))
    assert [s["m"] for s in traced["stages"]] == ["vantor lookup cmap (item 0)"]
    fake.configure("stage name=cmap glyphs=1,2")
    plain = engine.shape("ab", fake, trace=np.bool_(False), wine_bytes=np.bool_(True))
    assert [s["m"] for s in plain["stages"]] == ["Uniscribe shape item 0 (script 1, tag 0x6e74616c)"]
    assert "tbegin" not in fake.call_names()
    message = engine.error("ab", fake, textshaping=np.bool_(True))
    assert message.startswith("backend='textshaping' is Windows-only")


def test_usp10_empty_string_is_a_path_not_absent(engine, fake, monkeypatch):
    # TESVO_VANTOR would find the fake; the empty path opens the main program instead,
    # which has no Uniscribe entry points.
    monkeypatch.setenv("TESVO_VANTOR", fake.path)
    assert engine.shape("ab", usp10=None)["final"] == default_glyphs("ab")
    fake.configure()
    assert engine.error("ab", usp10="") == "ScriptItemizeOpenType missing in module"
    assert fake.raw_log() == ""
