"""A variable font's design space: its axes and named instances as fvar lists them (read
with fontTools), locations as the caller gives them, and the location a result was shaped
at as the backend reports it."""

from __future__ import annotations

import io
from collections.abc import Mapping
from typing import NamedTuple, Optional, Union

import tesvo._engine as _engine
from tesvo.errors import OptionError

__all__ = ["Axis", "NamedInstance", "AxisLocation", "Variations", "read_design_space", "location_text"]

# A location as hb-shape's --variations writes it ("wght=700,wdth=87.5"), or a mapping of
# axis tags to values.
Variations = Union[str, Mapping[str, float], None]


class Axis(NamedTuple):
    """One fvar axis: its tag, its range and default in design units, and its name."""

    tag: str
    min: float
    default: float
    max: float
    name: str


class NamedInstance(NamedTuple):
    """One fvar instance: its name (the subfamily name, "Bold") and its location."""

    name: str
    location: tuple[tuple[str, float], ...]


class AxisLocation(NamedTuple):
    """One axis of the location a text was shaped at: the value used, clamped to the axis
    as HarfBuzz clamps it, and the normalized coordinate after avar (-1 to 1)."""

    tag: str
    value: float
    normalized: float


def read_design_space(data: bytes, index: int) -> tuple[tuple[Axis, ...], tuple[NamedInstance, ...]]:
    """The axes and named instances of face `index` of a font; none for a static font, and
    none for an fvar table fontTools cannot read (HarfBuzz then shapes the default).

    A face with no fvar axes that HarfBuzz takes (the engine reads the table) has none here,
    without fontTools; a variable font's axes are read with fontTools, and without it are an
    OptionError."""
    tags = _engine.axis_tags(data, index)
    if not tags:
        return (), ()
    try:
        from fontTools.ttLib import TTFont  # imported only for variable fonts' callers
    except ImportError:
        raise OptionError("a variable font's axes and named instances are read with fontTools, which is not "
                          "installed: pip install fonttools") from None
    try:
        font = TTFont(io.BytesIO(data), fontNumber=index, lazy=True)
        if "fvar" not in font:
            return (), ()
        fvar = font["fvar"]
        names = font["name"] if "name" in font else None

        def name_of(name_id: int, fallback: str) -> str:
            if names is None:
                return fallback
            found = names.getDebugName(name_id)
            return str(found) if found is not None else fallback

        # The tags as the engine reads them (a byte a character), where fontTools gives
        # bytes for a tag that is not ASCII.
        if len(tags) != len(fvar.axes):
            return (), ()
        axes = tuple(Axis(tag, float(a.minValue), float(a.defaultValue), float(a.maxValue), name_of(a.axisNameID, tag))
                     for tag, a in zip(tags, fvar.axes))
        instances = tuple(
            NamedInstance(name_of(i.subfamilyNameID, f"instance {n}"),
                          tuple((a.tag, float(i.coordinates.get(f.axisTag, a.default))) for a, f in zip(axes, fvar.axes)))
            for n, i in enumerate(fvar.instances))
        return axes, instances
    except Exception:  # a damaged table: HarfBuzz ignores it too
        return (), ()


def location_text(variations: Variations) -> str:
    """The location in hb-shape's syntax, for the engine; "" for None."""
    if variations is None:
        return ""
    if isinstance(variations, str):
        return variations
    if isinstance(variations, Mapping):
        parts = []
        for tag, value in variations.items():
            if not isinstance(tag, str) or not 1 <= len(tag) <= 4 or max(map(ord, tag)) > 0xFF:
                raise OptionError(f"bad axis tag {tag!r}: an axis tag is 1 to 4 characters of one byte each")
            if isinstance(value, bool) or not isinstance(value, (int, float)):
                raise OptionError(f"axis {tag!r}: the value must be a number, not {value!r}")
            try:
                number = float(value)
            except OverflowError:
                raise OptionError(f"axis {tag!r}: value out of range (-32768 to 32767.99998)") from None
            parts.append(f"{_quoted_tag(tag)}={number!r}")
        return ",".join(parts)
    raise TypeError(f"variations must be str, a mapping or None, not {type(variations).__qualname__}")


def parse_location(text: str, axes: tuple[Axis, ...]) -> tuple[tuple[str, float], ...]:
    """The (tag, value) pairs of a location, checked against the font's axes."""
    try:
        pairs = _engine.parse_variations(text)
    except ValueError as e:
        raise OptionError(str(e)) from None
    known = {a.tag for a in axes}
    for tag, _ in pairs:
        if tag.rstrip(" ") not in known and tag not in known:
            raise OptionError(f"unknown axis {tag.rstrip(' ')!r}: {describe_axes(axes)}")
    return tuple((tag.rstrip(" ") if tag.rstrip(" ") in known else tag, value) for tag, value in pairs)


def resolve_location(data: bytes, index: int, variations: Variations,
                     named_instance: Union[int, str, None]) -> tuple[tuple[str, float], ...]:
    """The (tag, value) pairs a named instance and then `variations` set, checked against the
    font's axes, as Font takes them; for a side of a comparison that has no Font."""
    axes, instances = read_design_space(data, index)
    pairs: tuple[tuple[str, float], ...] = ()
    if named_instance is not None:
        pairs = pick_instance(named_instance, instances).location
    text = location_text(variations)
    return merged(pairs, parse_location(text, axes)) if text.strip() else pairs


def describe_axes(axes: tuple[Axis, ...]) -> str:
    if not axes:
        return "the font has no variation axes"
    listed = ", ".join(f"{a.tag} ({_number(a.min)} to {_number(a.max)}, default {_number(a.default)})" for a in axes)
    return f"the font's axes are {listed}"


def _number(value: float) -> str:
    return str(int(value)) if value == int(value) else repr(value)


def pick_instance(instance: Union[int, str], instances: tuple[NamedInstance, ...]) -> NamedInstance:
    """The named instance given by index or by name."""
    if isinstance(instance, bool) or not isinstance(instance, (int, str)):
        raise TypeError(f"named_instance must be int or str, not {type(instance).__qualname__}")
    listed = ", ".join(f"{n}: {i.name!r}" for n, i in enumerate(instances)) or "none"
    if isinstance(instance, int):
        if 0 <= instance < len(instances):
            return instances[instance]
        raise OptionError(f"named instance {instance} out of range: the font's instances are {listed}")
    for candidate in instances:
        if candidate.name == instance:
            return candidate
    raise OptionError(f"no named instance {instance!r}: the font's instances are {listed}")


def merged(base: tuple[tuple[str, float], ...], over: tuple[tuple[str, float], ...]) -> tuple[tuple[str, float], ...]:
    """`base` with the axes `over` names set to its values (a later value wins)."""
    values = dict(base)
    values.update(over)
    return tuple(values.items())


def _quoted_tag(tag: str) -> str:
    """A tag as the engine's location syntax quotes it: any character but printable ASCII
    (and the quote and backslash) as \\xHH, since a font's tag may hold control characters."""
    return "'" + "".join(c if " " <= c <= "~" and c not in "'\\" else f"\\x{ord(c):02x}" for c in tag) + "'"


def pairs_text(pairs: tuple[tuple[str, float], ...]) -> str:
    """A location for the engine."""
    return ",".join(f"{_quoted_tag(tag)}={value!r}" for tag, value in pairs)


def shown_location(pairs: tuple[tuple[str, float], ...]) -> Optional[str]:
    """The location as hb-shape's --variations would take it, None for the default."""
    return ",".join(f"{tag}={_number(value)}" for tag, value in pairs) or None
