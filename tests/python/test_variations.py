"""Variable fonts: shaping at a location gives what hb-shape --variations gives (glyphs,
advances, offsets), on Debian's Inter and on small fonts built here whose kerning varies with
the weight and whose rvrn swaps a glyph above wght=600; and the errors of a wrong location."""

import io
import json
import struct
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import tesvo

from conftest import INTER, NOTO_SANS


# Default, both ends, beyond both ends, a fractional value, and just either side of the swap.
LOCATIONS = [None, "wght=100", "wght=900", "wght=20", "wght=2000", "wght=455.5", "wght=599", "wght=601"]


def built_font(tmp_path_factory, cff):
    """A three-master weight axis (100, 400, 900): A's advance and the A/V kerning vary with
    it, and a designspace rule swaps A for A.alt from wght=600 on (FeatureVariations, rvrn)."""
    from fontTools import varLib
    from fontTools.designspaceLib import AxisDescriptor, DesignSpaceDocument, RuleDescriptor, SourceDescriptor
    from fontTools.feaLib.builder import addOpenTypeFeaturesFromString
    from fontTools.fontBuilder import FontBuilder
    from fontTools.pens.t2CharStringPen import T2CharStringPen
    from fontTools.pens.ttGlyphPen import TTGlyphPen

    order = [".notdef", "A", "V", "A.alt"]

    def master(weight):
        fb = FontBuilder(1000, isTTF=not cff)
        fb.setupGlyphOrder(order)
        fb.setupCharacterMap({ord("A"): "A", ord("V"): "V"})
        advances = {g: 400 + weight // 2 + 10 * i for i, g in enumerate(order)}
        drawn = {}
        for i, name in enumerate(order):
            pen = T2CharStringPen(advances[name], None) if cff else TTGlyphPen(None)
            stem = 50 + weight // 10 + i
            pen.moveTo((50, 0)), pen.lineTo((50 + stem, 0)), pen.lineTo((50 + stem, 700)), pen.lineTo((50, 700))
            pen.closePath()
            drawn[name] = pen.getCharString() if cff else pen.glyph()
        if cff:
            fb.setupCFF("VarTest", {"FullName": "VarTest"}, drawn, {})
        else:
            fb.setupGlyf(drawn)
        fb.setupHorizontalMetrics({g: (advances[g], 50) for g in order})
        fb.setupHorizontalHeader(ascent=800, descent=-200)
        fb.setupNameTable({"familyName": "VarTest", "styleName": f"W{weight}"})
        fb.setupOS2()
        fb.setupPost()
        addOpenTypeFeaturesFromString(fb.font, f"feature kern {{ pos A V {-40 - weight // 5}; }} kern;")
        return fb.font

    doc = DesignSpaceDocument()
    doc.addAxis(AxisDescriptor(tag="wght", name="Weight", minimum=100, default=400, maximum=900))
    for weight in (100, 400, 900):
        source = SourceDescriptor()
        source.font, source.location, source.name = master(weight), {"Weight": weight}, f"w{weight}"
        doc.addSource(source)
    rule = RuleDescriptor()
    rule.name, rule.conditionSets, rule.subs = "heavy A", [[{"name": "Weight", "minimum": 600, "maximum": 900}]], \
        [("A", "A.alt")]
    doc.addRule(rule)
    font = varLib.build(doc)[0]
    path = tmp_path_factory.mktemp("var") / ("VarTest-CFF2.otf" if cff else "VarTest.ttf")
    font.save(path)
    return path


@pytest.fixture(scope="module", params=["glyf", "CFF2", "Inter"])
def variable_font(request, tmp_path_factory):
    if request.param == "Inter":
        if INTER is None:
            pytest.skip("fonts-inter-variable is not installed")
        return INTER
    return built_font(tmp_path_factory, cff=request.param == "CFF2")


def hb_shape(path, text, variations):
    extra = [f"--variations={variations}"] if variations else []
    out = subprocess.run(["hb-shape", "--output-format=json", "--no-glyph-names", *extra, str(path), text],
                         capture_output=True, text=True, check=True).stdout
    return [(g["g"], g["cl"], g["ax"], g["dx"], g["dy"]) for g in json.loads(out)]


def test_every_location_shapes_as_hb_shape_does(variable_font):
    font = tesvo.Font(variable_font)
    text = "AVAV AAV"
    seen = {}
    for variations in LOCATIONS:
        result = font.shape(text, variations=variations)
        ours = [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in result.glyphs]
        assert ours == hb_shape(variable_font, text, variations), variations
        seen[variations] = ours
        (weight,) = [axis for axis in result.location if axis.tag == "wght"]
        asked = float(variations.split("=")[1]) if variations else 400.0
        assert weight.value == min(max(asked, 100.0), 900.0)
        assert weight.normalized == {100.0: -1.0, 400.0: 0.0, 900.0: 1.0}.get(weight.value, weight.normalized)
    assert seen["wght=100"] != seen["wght=900"] != seen[None]
    assert seen["wght=20"] == seen["wght=100"] and seen["wght=2000"] == seen["wght=900"]  # clamped
    if variable_font != INTER:  # the rule swaps A above 600, and the kerning follows the weight
        assert seen["wght=599"][0][0] != seen["wght=601"][0][0]
        assert seen["wght=100"][0][2] != seen["wght=900"][0][2]


def test_named_instances_and_font_locations(variable_font):
    font = tesvo.Font(variable_font)
    assert [a.tag for a in font.axes][:1] == ["wght"] or "wght" in [a.tag for a in font.axes]
    if font.named_instances:
        last = font.named_instances[-1]
        at = tesvo.Font(variable_font, named_instance=len(font.named_instances) - 1)
        by_name = tesvo.Font(variable_font, named_instance=last.name)
        text = "AVA"
        hb = hb_shape(variable_font, text, ",".join(f"{t}={v:g}" for t, v in last.location))
        assert [(g.id, g.cluster, g.advance, g.x_offset, g.y_offset) for g in at.shape(text).glyphs] == hb
        assert at.shape(text).glyphs == by_name.shape(text).glyphs
    # a call's variations go on top of the font's location; the JSON records the location
    heavy = tesvo.Font(variable_font, variations={"wght": 900})
    assert heavy.shape("AV").glyphs == font.shape("AV", variations="wght=900").glyphs
    doc = json.loads(heavy.shape("AV", variations="wght=100").to_json())
    assert {"tag": "wght", "value": 100.0, "normalized": -1.0} in doc["location"]
    assert doc["options"]["variations"] == "wght=100"


@pytest.mark.parametrize("make,message", [
    (lambda f: tesvo.Font(f, variations="wdht=80"), "unknown axis 'wdht': the font's axes are wght (100 to 900"),
    (lambda f: tesvo.Font(f).shape("A", variations="wght=heavy"), 'bad variation "wght=heavy"'),
    (lambda f: tesvo.Font(f, named_instance=99), "named instance 99 out of range: the font's instances are"),
    (lambda f: tesvo.Font(f, named_instance="Nope"), "no named instance 'Nope'"),
    (lambda f: tesvo.Font(f).shape("A", variations={"wght": "900"}), "axis 'wght': the value must be a number"),
    (lambda f: tesvo.Font(f).shape("A", variations={"wght": 10**400}), "axis 'wght': value out of range"),
])
def test_a_wrong_location_is_an_option_error(tmp_path_factory, make, message):
    path = built_font(tmp_path_factory, cff=False)
    with pytest.raises(tesvo.OptionError) as info:
        make(path)
    assert message in str(info.value)


def test_a_value_just_below_the_16_16_limit_is_the_largest_one_not_a_wrap(tmp_path_factory):
    font = tesvo.Font(built_font(tmp_path_factory, cff=False))
    assert font.shape("A", variations="wght=32767.999999999").location[0].value == 900.0  # clamped to the axis


def test_a_static_font_has_no_axes_and_refuses_one(noto):
    font = tesvo.Font(noto)
    assert font.axes == () and font.shape("Wave").location == ()
    with pytest.raises(tesvo.OptionError, match="the font has no variation axes"):
        font.shape("Wave", variations="wght=700")


def test_without_fonttools_fonts_shape_and_variable_axes_say_what_they_need(tmp_path_factory):
    # Every import of fontTools refused, as if it were not installed, and counted.
    script = textwrap.dedent(f"""
        import sys
        tried = []

        class NoFontTools:
            def find_spec(self, name, path=None, target=None):
                if name.partition(".")[0] == "fontTools":
                    tried.append(name)
                    raise ModuleNotFoundError(name, name=name)

        sys.meta_path.insert(0, NoFontTools())
        import tesvo
        font = tesvo.Font({str(NOTO_SANS)!r})
        print(font.shape("Wave").to_text(), font.axes, tried)
        variable = {str(built_font(tmp_path_factory, cff=False))!r}
        print(tesvo.Font(variable).shape("A").location, tried)  # its axis tags read by the engine
        try:
            tesvo.Font(variable, variations="wght=700")
        except tesvo.OptionError as e:
            print(e, tried)
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.stdout.splitlines() == [
        f"{tesvo.Font(NOTO_SANS).shape('Wave').to_text()} () []",
        "(AxisLocation(tag='wght', value=400.0, normalized=0.0),) []",
        "a variable font's axes and named instances are read with fontTools, which is not installed: "
        "pip install fonttools ['fontTools']"], done.stderr


def test_a_backend_without_locations_refuses_them(make_fake, tmp_path_factory):
    fake = make_fake("fake_port")
    font = tesvo.Font(built_font(tmp_path_factory, cff=False), backend=fake.path)
    assert font.shape("AV").location == ()  # the default instance needs nothing from the backend
    with pytest.raises(tesvo.OptionError) as info:
        font.shape("AV", variations="wght=700")
    assert str(info.value) == f"backend {fake.path} cannot apply variations: it does not export usp_capabilities"


def test_the_command_takes_a_location(tmp_path_factory):
    path = built_font(tmp_path_factory, cff=False)
    run = lambda *a: subprocess.run(["tesvo", *a], capture_output=True, text=True)  # noqa: E731
    out = run("--variations", "wght=900", "--schema", "tesvo", str(path), "AV")
    assert out.returncode == 0, out.stderr
    assert json.loads(out.stdout)["location"][0]["value"] == 900.0
    bad = run("--variations", "wdth=80", str(path), "AV")
    assert bad.returncode == 2 and "unknown axis 'wdth'" in bad.stderr


def test_compare_sees_two_locations_and_harfbuzz_at_one(tmp_path_factory):
    path = str(built_font(tmp_path_factory, cff=False))
    run = lambda *a: subprocess.run(["tesvo", "compare", *a], capture_output=True, text=True)  # noqa: E731
    two = run(path, "AVAV", "--variations2", "wght=900")
    assert two.returncode == 1, two.stderr
    line, summary = (json.loads(x) for x in two.stdout.splitlines())
    assert "advances" in line["differs"] and summary["summary"]["right"].startswith("VarTest.ttf @wght=900")
    for location in ("wght=100", "wght=650"):  # HarfBuzz itself at the same location
        same = run(path, "AVAV", "--engine", "harfbuzz", "--variations", location)
        assert same.returncode == 0, same.stdout + same.stderr


def test_an_fvar_harfbuzz_refuses_gives_no_axes_instead_of_a_silent_default(tmp_path_factory, tmp_path):
    data = bytearray(built_font(tmp_path_factory, cff=False).read_bytes())
    tables = struct.unpack_from(">H", data, 4)[0]
    (at,) = [struct.unpack_from(">I", data, 12 + 16 * i + 8)[0] for i in range(tables)
             if data[12 + 16 * i:16 + 16 * i] == b"fvar"]
    struct.pack_into(">H", data, at + 10, 24)  # axisSize 24: fontTools reads on, HarfBuzz does not
    font = tesvo.Font(bytes(data))
    assert font.axes == () and font.shape("A").location == ()
    with pytest.raises(tesvo.OptionError, match="the font has no variation axes"):
        font.shape("A", variations="wght=900")


def test_named_instances_work_whatever_bytes_the_axis_tags_hold(tmp_path_factory):
    from fontTools.ttLib import TTFont
    from fontTools.ttLib.tables._f_v_a_r import NamedInstance

    path = built_font(tmp_path_factory, cff=False)
    heavy = tesvo.Font(path, variations="wght=900").shape("AVA").glyphs
    for tag in ("w\x01gt", "w\x00g\x7f"):
        font = TTFont(path)
        font["fvar"].axes[0].axisTag = tag
        instance = NamedInstance()
        instance.subfamilyNameID, instance.coordinates = 2, {tag: 900.0}
        font["fvar"].instances = [instance]
        out = io.BytesIO()
        font.save(out)
        varied = tesvo.Font(out.getvalue(), named_instance=0)
        assert [a.tag for a in varied.axes] == [tag] and varied.shape("AVA").glyphs == heavy
        assert varied.shape("AVA", variations={tag: 100}).glyphs != heavy
