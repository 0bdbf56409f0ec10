"""tesvo serve: the server's guard and its messages over HTTP, and the page in a real browser
(headless Chromium through Selenium and Debian's chromium-driver): typing, a feature toggle,
an axis, a trace step, a font rebuilt on disk."""

import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path
from urllib.parse import urlsplit

import pytest

import tesvo
from conftest import INTER

pytest.importorskip("starlette")
pytest.importorskip("uvicorn")

NOTO = "/usr/share/fonts/truetype/noto"
DEVANAGARI = f"{NOTO}/NotoSansDevanagari-Regular.ttf"
LATIN = f"{NOTO}/NotoSans-Regular.ttf"
CHROMEDRIVER, CHROMIUM = "/usr/bin/chromedriver", "/usr/bin/chromium"


class Server:
    def __init__(self, *fonts):
        env = dict(os.environ)
        self.proc = subprocess.Popen([sys.executable, "-m", "tesvo", "serve", "--no-browser", *map(str, fonts)],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
        line = self.proc.stdout.readline()
        assert line.startswith("tesvo serve: http://127.0.0.1:"), line + self.proc.stderr.read()
        self.url = line.split(": ", 1)[1].strip()
        parts = urlsplit(self.url)
        self.host, self.port, self.token = parts.hostname, parts.port, parts.query.split("=", 1)[1]

    def request(self, method, path, body=None, headers=None, token=True):
        conn = http.client.HTTPConnection(self.host, self.port, timeout=10)
        sent = {"Host": f"{self.host}:{self.port}", **(headers or {})}
        if token:
            path += ("&" if "?" in path else "?") + f"token={self.token}"
        conn.request(method, path, body=body, headers=sent)
        response = conn.getresponse()
        return response.status, response.read().decode()

    def stop(self, sig=signal.SIGTERM):
        self.proc.send_signal(sig)
        return self.proc.wait(timeout=10)


@pytest.fixture
def server():
    s = Server(LATIN)
    yield s
    if s.proc.poll() is None:
        s.stop()


@pytest.mark.parametrize("method, path, headers, token, status", [
    ("GET", "/", {}, True, 200),
    ("GET", "/assets/serve.js", {}, True, 200),
    ("GET", "/", {}, False, 403),
    ("GET", "/events", {}, False, 403),
    ("GET", "/assets/serve.js", {}, False, 403),
    ("GET", "/?token=wrong", {}, False, 403),
    ("GET", "/", {"Host": "evil.example"}, True, 403),
    ("GET", "/", {"Host": "evil.example:80"}, True, 403),
    ("POST", "/api/shape", {"Origin": "http://evil.example"}, True, 403),
    ("GET", "/assets/../../fonts.py", {}, True, 404),
    ("GET", "/assets/..%2F..%2F..%2F..%2Fetc%2Fpasswd", {}, True, 404),
    ("GET", "/assets/fonts.py", {}, True, 404),
    ("GET", "/etc/passwd", {}, True, 404),
])
def test_only_the_servers_own_page_with_its_token_is_answered(server, method, path, headers, token, status):
    got, body = server.request(method, path, headers=headers, token=token)
    assert got == status, body
    assert "root:" not in body


@pytest.mark.parametrize("body, message", [
    (b"not json", "not JSON"),
    (b"[1]", "JSON object"),
    (json.dumps({"text": "x" * 1_000_000}).encode(), "at most 20,000"),
    (json.dumps({"text": "a", "faces": [5]}).encode(), "face 5 out of range"),
    (json.dumps({"text": "a", "features": {"kern": 1}}).encode(), "features must map"),
    (json.dumps({"text": "a", "location": {"wght": "x"}}).encode(), "location must map"),
])
def test_a_malformed_request_gets_one_message_and_the_server_goes_on(server, body, message):
    status, answer = server.request("POST", "/api/shape", body=body)
    shaped = json.loads(answer)
    assert status == 400 or shaped["fonts"][0]["message"], answer
    assert message in answer
    status, answer = server.request("POST", "/api/shape", body=json.dumps({"text": "office"}).encode())
    assert status == 200
    assert json.loads(answer)["fonts"][0]["engines"]["uniscribe"]["names"][1] == "f_f_i"


@pytest.mark.parametrize("kind, status, found", [
    ("trace", 200, "tesvo shape --trace --html report.html"),
    ("compare", 200, "tesvo compare --trace --html compare.html --engine harfbuzz"),
    ("neither", 400, "no report 'neither'"),
])
def test_the_reports_for_the_pages_settings(server, kind, status, found):
    from urllib.parse import urlencode

    settings = json.dumps({"text": "AVATAR", "features": {"kern": False}})
    got, body = server.request("POST", "/report", body=urlencode({"kind": kind, "settings": settings}),
                               headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert got == status and found in body.replace("&#x27;", "'"), body[:300]
    assert status != 200 or "--features=-kern" in body


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_ctrl_c_and_sigterm_stop_the_server(server, sig):
    assert server.request("GET", "/")[0] == 200
    assert server.stop(sig) == 130
    assert "interrupted" in server.proc.stderr.read()


def test_without_starlette_the_command_names_the_extra():
    code = ("import sys; sys.modules['starlette'] = None; from tesvo.cli import main; "
            f"sys.exit(main(['serve', '--no-browser', {LATIN!r}]))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ))
    assert done.returncode == 2
    assert done.stderr.strip().splitlines() == ["tesvo serve: tesvo serve needs Starlette and uvicorn: "
                                                "pip install 'tesvo[serve]'"]


# ---- in a browser ----


@pytest.fixture(scope="module")
def downloads(tmp_path_factory):
    return tmp_path_factory.mktemp("downloads")


@pytest.fixture(scope="module")
def browser(downloads):
    webdriver = pytest.importorskip("selenium.webdriver")
    if not (os.access(CHROMEDRIVER, os.X_OK) and os.access(CHROMIUM, os.X_OK)):
        pytest.skip("no chromium-driver (Debian: apt-get install -y chromium chromium-driver)")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM  # the system's browser and driver: nothing is downloaded
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1300,1000"):
        options.add_argument(arg)
    options.add_experimental_option("prefs", {"download.default_directory": str(downloads)})
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    yield driver
    driver.quit()


class Page:
    def __init__(self, driver, server):
        self.driver, self.server = driver, server
        driver.get(server.url)
        self.wait(lambda s: s["serial"] > 0)

    def state(self):
        return self.driver.execute_script("return window.tesvoState")

    def wait(self, done, timeout=10.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            s = self.state()
            if s and done(s):
                return s
            time.sleep(0.02)
        raise AssertionError(f"the page did not get there: {json.dumps(self.state())[:800]}")

    def type(self, text):
        box = self.driver.find_element("id", "text")
        box.clear()
        box.send_keys(text)
        return self.wait(lambda s: s["text"] == text and s["drawnAt"] == s["serial"] and s["complete"])

    def find(self, selector):
        return self.driver.find_element("css selector", selector)


def visual(result):
    return [g.id for g in result.visual_glyphs()], [g.advance for g in result.visual_glyphs()]


def hb_trace_after(path, text, step):
    """The glyph names hb-shape --trace shows after a lookup ("end lookup 3 feature 'akhn'")."""
    out = subprocess.run(["hb-shape", "--trace", path, text], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                         text=True).stdout  # the trace goes to standard error in newer HarfBuzz
    line = next(x for x in out.splitlines() if f"end lookup {step}" in x)
    return [g.split("=")[0] for g in line.split("buffer: [", 1)[1].rstrip("]").split("|")]


def test_in_a_browser_type_toggle_drag_and_click_a_step(browser, downloads):
    if INTER is None:
        pytest.skip("Debian's fonts-inter-variable is missing")
    server = Server(DEVANAGARI, INTER)
    try:
        page = Page(browser, server)
        text = "क्षत्रिय"
        fonts = page.type(text)["fonts"]
        expected = tesvo.Font(DEVANAGARI).shape(text)
        assert (fonts[0]["uniscribe"]["ids"], fonts[0]["uniscribe"]["advances"]) == visual(expected)
        uharfbuzz = pytest.importorskip("uharfbuzz")
        font = uharfbuzz.Font(uharfbuzz.Face(Path(DEVANAGARI).read_bytes()))
        buf = uharfbuzz.Buffer()
        buf.add_str(text)
        buf.guess_segment_properties()
        uharfbuzz.shape(font, buf, {})
        assert fonts[0]["harfbuzz"]["ids"] == [i.codepoint for i in buf.glyph_infos]
        if "error" not in fonts[0].get("harfrust", {"error": ""}):
            assert fonts[0]["harfrust"]["ids"] == fonts[0]["harfbuzz"]["ids"]

        step = fonts[0]["uniscribe"]["steps"].index("GSUB lookup 3 'akhn'")
        page.find(f'#trace [data-step="{step}"]').click()
        run = page.wait(lambda s: (s.get("run") or {}).get("step") == step)["run"]
        assert run["names"] == hb_trace_after(DEVANAGARI, text, "3 feature 'akhn'")
        # HarfBuzz's own trace, chosen above the rows, reaches the same run after that lookup.
        from selenium.webdriver.support.ui import Select

        Select(page.find("#trace-of")).select_by_value("0:harfbuzz")
        step = fonts[0]["harfbuzz"]["steps"].index("GSUB lookup 3 'akhn'")
        page.wait(lambda s: page.driver.find_elements("css selector", f'#trace [data-step="{step}"]'))
        page.find(f'#trace [data-step="{step}"]').click()
        assert page.wait(lambda s: (s.get("run") or {}).get("step") == step)["run"]["names"] == run["names"]

        page.find("#export-svg").click()
        page.find("#export-png").click()
        assert page.wait(lambda s: (downloads / "line.png").exists() and (downloads / "line.svg").exists())
        svg = (downloads / "line.svg").read_text()
        ids = fonts[0]["uniscribe"]["ids"]
        assert svg.count("<use ") == len(ids) and svg.count("<path ") == len(set(ids))
        assert (downloads / "line.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

        latin = "AVATAR office"
        page.type(latin)
        page.find('[data-feature="kern"]').click()
        s = page.wait(lambda s: s["features"] == {"kern": False} and s["drawnAt"] == s["serial"] and s["complete"])
        assert s["fonts"][1]["uniscribe"]["advances"] == visual(tesvo.Font(INTER).shape(latin, features="-kern"))[1]
        page.find('[data-feature="kern"]').click()
        page.wait(lambda s: s["features"] == {} and s["drawnAt"] == s["serial"] and s["complete"])

        # The slider taken to its end as a drag leaves it: each value on the way is an input event.
        browser.execute_script("""const r = document.querySelector('[data-axis="wght"]');
            for (const v of [500, 600, 700]) { r.value = v; r.dispatchEvent(new Event('input', {bubbles: true})); }""")
        s = page.wait(lambda s: s["location"].get("wght") == 700 and s["drawnAt"] == s["serial"] and s["complete"])
        bold = tesvo.Font(INTER, variations="wght=700").shape(latin)
        assert (s["fonts"][1]["uniscribe"]["ids"], s["fonts"][1]["uniscribe"]["advances"]) == visual(bold)
        assert s["fonts"][1]["uniscribe"]["advances"] != visual(tesvo.Font(INTER).shape(latin))[1]
    finally:
        server.stop()


def _kern_more(path, delta):
    """The font at `path` rewritten in place with every pair adjustment `delta` wider."""
    from fontTools.ttLib import TTFont

    font = TTFont(path)
    for lookup in font["GPOS"].table.LookupList.Lookup:
        for sub in lookup.SubTable:
            sub = sub.ExtSubTable if lookup.LookupType == 9 else sub
            if getattr(sub, "LookupType", lookup.LookupType) != 2:
                continue
            records = ([r for s in sub.PairSet for r in s.PairValueRecord] if sub.Format == 1 else
                       [r for c in sub.Class1Record for r in c.Class2Record])
            for r in records:
                if r.Value1 is not None and getattr(r.Value1, "XAdvance", 0):
                    r.Value1.XAdvance += delta
    font.save(path)


def test_in_a_browser_a_rebuilt_font_is_shaped_again_and_a_broken_one_keeps_the_last_good(browser, tmp_path):
    path = tmp_path / "NotoSans-Build.ttf"
    shutil.copyfile(LATIN, path)
    server = Server(path)
    try:
        page = Page(browser, server)
        before = page.type("AVATAR")["fonts"][0]["uniscribe"]["advances"]
        _kern_more(str(path), -50)
        started = time.monotonic()
        s = page.wait(lambda s: s["fonts"][0]["uniscribe"]["advances"] != before, timeout=5)
        assert time.monotonic() - started < 1.0
        assert s["text"] == "AVATAR"
        assert s["fonts"][0]["uniscribe"]["advances"] == visual(tesvo.Font(str(path)).shape("AVATAR"))[1]

        path.write_bytes(b"\0\1\0\0 not a font any more")
        page.wait(lambda s: "cannot be read" in page.find("#lines").text)
        assert page.state()["fonts"][0]["uniscribe"]["advances"] == s["fonts"][0]["uniscribe"]["advances"]
        browser.save_screenshot(str(tmp_path / "broken.png"))
    finally:
        server.stop()
