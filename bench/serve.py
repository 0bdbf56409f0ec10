"""tesvo serve's keystroke-to-draw time in a real browser: headless Chromium (Debian's, driven
through Selenium and chromium-driver) types into the page of `tesvo serve` over a traced line
of 200 characters of the Devanagari corpus, a character then a backspace, one keystroke at a
time. Prints figures; asserts nothing.

    python bench/serve.py [--chars 200] [--keys 100] [FONT ...]

Per keystroke, the page's own times from the input event to the frame after it drew: the
first answer (window.tesvoState.latency: the port with its trace and HarfBuzz's line), then
the complete one (latencyAll: HarfBuzz and HarfRust with their traces too, and where they
part from the port); the server's shaping of each request (firstMs, serverMs); and the time
from Selenium's keystroke to the complete draw as Selenium sees it (its own round trips
included).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.keys import Keys

from tesvo.corpora import load

DEVANAGARI = "/usr/share/fonts/truetype/noto/NotoSansDevanagari-Regular.ttf"


def line(chars: int) -> str:
    text = " ".join(load("devanagari"))
    return text[:chars]


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"  # the system's browser and driver, never a download
    for arg in ("--headless=new", "--no-sandbox", "--window-size=1300,1000", "--disable-background-timer-throttling",
                "--disable-renderer-backgrounding"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def drawn(driver: webdriver.Chrome, serial: int, timeout: float = 10.0) -> dict:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        state = driver.execute_script("return window.tesvoState")
        if state and state["serial"] > serial and state["drawnAt"] == state["serial"] and state["complete"]:
            return state
        time.sleep(0.001)
    raise SystemExit("the page did not draw within 10 s")


def figures(name: str, values: list[float]) -> str:
    q = statistics.quantiles(values, n=10)
    return (f"{name}: median {statistics.median(values):.1f} ms, p10 {q[0]:.1f}, p90 {q[-1]:.1f}, "
            f"max {max(values):.1f} (n={len(values)})")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--chars", type=int, default=200)
    p.add_argument("--keys", type=int, default=100)
    p.add_argument("fonts", nargs="*", default=[DEVANAGARI])
    args = p.parse_args()
    env = dict(os.environ)  # the installed package (run it with the venv the module is installed in)
    server = subprocess.Popen([sys.executable, "-m", "tesvo", "serve", "--no-browser", *args.fonts],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    url = server.stdout.readline().split(": ", 1)[1].strip() if server.stdout else ""
    driver = browser()
    try:
        driver.get(url)
        state = drawn(driver, 0)
        box = driver.find_element("id", "text")
        text = line(args.chars - 1)
        driver.execute_script("const t = document.getElementById('text'); t.value = arguments[0];"
                              "t.dispatchEvent(new Event('input'));", text)
        state = drawn(driver, state["serial"])
        glyphs = len(state["fonts"][0]["uniscribe"]["ids"])
        steps = len(state["fonts"][0]["uniscribe"]["steps"])
        page, server_ms, seen, whole, first_ms = [], [], [], [], []
        for k in range(args.keys):
            started = time.perf_counter()
            box.send_keys("क" if k % 2 == 0 else Keys.BACKSPACE)
            state = drawn(driver, state["serial"])
            seen.append((time.perf_counter() - started) * 1000)
            page.append(state["latency"])
            whole.append(state["latencyAll"])
            first_ms.append(state["firstMs"])
            server_ms.append(state["serverMs"])
        print(f"{args.chars - 1} to {args.chars}-character line of {glyphs} glyphs, {steps} port steps, traced by "
              f"{', '.join(state['fonts'][0])}; {len(args.fonts)} font(s)")
        print(figures("keystroke to draw, the port traced and HarfBuzz's line (in the page)", page))
        print(figures("  of which the server's shaping", first_ms))
        print(figures("keystroke to draw, every engine traced (in the page)", whole))
        print(figures("  of which the server's shaping of that second request", server_ms))
        print(figures("keystroke to the complete draw, as Selenium sees it", seen))
    finally:
        driver.quit()
        server.terminate()
        server.wait()


if __name__ == "__main__":
    main()
