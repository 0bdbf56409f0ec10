"""The fonts `tesvo serve` was given, each watched on disk: a `ServedFont` holds the last good
build of its file (a tesvo.Font per face asked for, its outlines per location), notices a
rebuild by the file's size, modification time and inode, and keeps the last good build with
a message when the new one cannot be read."""

from __future__ import annotations

import os
import struct
import threading
from typing import Any, NamedTuple, Optional

import tesvo._engine as _engine
from tesvo.errors import FontError, OptionError
from tesvo.font import Font
from tesvo.fontfile import read_font
from tesvo.report.outlines import FontArt

# Feature tags HarfBuzz applies unless told otherwise (its shapers' own and the common ones):
# their toggles start on, every other feature's off.
DEFAULT_ON = frozenset(
    "abvf abvm abvs akhn blwf blwm blws calt ccmp cfar cjct clig curs dist fin2 fin3 fina half haln init isol "
    "kern liga ljmo locl ltra ltrm mark med2 medi mkmk mset nukt pref pres pstf psts rclt rkrf rlig rphf rtla "
    "rtlm stch tjmo vjmo".split())

_ARTS = 8  # locations whose outlines a face keeps


class Signature(NamedTuple):
    """What tells a rebuilt file from the one read: a rewrite in place changes the size or
    the time, a replacement by rename the inode."""

    size: int
    mtime_ns: int
    inode: int


def signature(path: str) -> Optional[Signature]:
    try:
        st = os.stat(path)
    except OSError:
        return None
    return Signature(st.st_size, st.st_mtime_ns, st.st_ino)


def face_count(data: bytes) -> int:
    """The faces of a collection ("ttcf" header), 1 for a single font."""
    if data[:4] == b"ttcf" and len(data) >= 12:
        return max(1, min(int(struct.unpack(">I", data[8:12])[0]), 0xFFFF))
    return 1


class Build(NamedTuple):
    """One good read of the file: its bytes and its generation (counted from 1)."""

    data: bytes
    generation: int
    faces: int


class ServedFont:
    """One font file of the served list, addressed by its place in the list."""

    def __init__(self, number: int, path: str) -> None:
        self.number = number
        self.path = path
        self.label = os.path.basename(path)
        self.error: Optional[str] = None  # why the file on disk is not the build shown
        self._lock = threading.Lock()
        self._seen = signature(path)
        self._fonts: dict[int, Font] = {}
        self._arts: dict[tuple[int, str], FontArt] = {}
        data = read_font(path).data
        Font(data)  # a font the engine cannot take ends the command here, with its message
        self.build = Build(data, 1, face_count(data))

    def font(self, face: int) -> Font:
        """The Font of one face of the current build (FontError for a face out of range)."""
        with self._lock:
            found = self._fonts.get(face)
            if found is None:
                if not 0 <= face < self.build.faces:
                    raise FontError(f"{self.label}: face {face} out of range: the file has {self.build.faces}")
                found = Font(self.build.data, index=face)
                found.path = self.path
                self._fonts[face] = found
            return found

    def art(self, face: int, location: dict[str, float]) -> tuple[str, FontArt]:
        """The outlines of a face at a location, and the key the page caches them under."""
        key = f"{self.build.generation}:{face}:" + ",".join(f"{t}={v:g}" for t, v in sorted(location.items()))
        with self._lock:
            found = self._arts.get((face, key))
            if found is None:
                if len(self._arts) >= _ARTS:
                    self._arts.pop(next(iter(self._arts)))
                found = FontArt(self.build.data, face, location)
                self._arts[(face, key)] = found
            return key, found

    def poll(self) -> bool:
        """Reads the file again when it changed on disk; True when what the page shows changed
        (a new build, or a message that the new file cannot be read)."""
        now = signature(self.path)
        if now == self._seen:
            return False
        self._seen = now
        try:
            data = read_font(self.path).data
            Font(data)
        except (FontError, OptionError, OSError, ValueError) as e:
            self.error = (f"{self.label} changed on disk but cannot be read: {' '.join(str(e).split())}. "
                          "Shown: its last good build.")
            return True
        with self._lock:
            self.build = Build(data, self.build.generation + 1, face_count(data))
            self._fonts.clear()
            self._arts.clear()
        self.error = None
        return True

    def facts(self, face: int) -> dict[str, Any]:
        """What the page's controls offer for a face: features, scripts and their language
        systems, axes and named instances."""
        font = self.font(face)
        features = _engine.feature_tags(font.data, face) or ()
        tags = sorted({t.rstrip(" ") for t in features})
        return {
            "number": self.number, "label": self.label, "family": font.family, "generation": self.build.generation,
            "faces": self.build.faces, "face": face, "upem": font.upem, "error": self.error,
            "features": [{"tag": t, "on": t in DEFAULT_ON} for t in tags],
            "scripts": {s: sorted(langs) for s, langs in sorted(font._layout().items())},
            "axes": [a._asdict() for a in font.axes],
            "instances": [{"name": i.name, "location": dict(i.location)} for i in font.named_instances],
        }
