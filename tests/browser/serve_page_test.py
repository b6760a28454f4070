#!/usr/bin/env python3
"""The live view in a real browser: headless Chromium, driven by Selenium, against `z40k serve`.

Usage: serve_page_test.py PATH_TO_Z40K. Exits 0 when every check passes, 1 otherwise.
"""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

# Mean brightness of the live picture, read back through a canvas (same origin, so readable).
MEAN_OF_PICTURE = """
const img = document.getElementById('live');
if (!img.naturalWidth) return -1;
const c = document.createElement('canvas');
c.width = 160; c.height = 120;
const g = c.getContext('2d');
g.drawImage(img, 0, 0, c.width, c.height);
const d = g.getImageData(0, 0, c.width, c.height).data;
let s = 0;
for (let i = 0; i < d.length; i += 4) s += d[i] + d[i + 1] + d[i + 2];
return s / (3 * c.width * c.height);
"""


def wait_for(what, condition, timeout=15.0):
    end = time.time() + timeout
    while time.time() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    return struct.unpack(">II", head[16:24])


def main():
    z40k = sys.argv[1]
    work = tempfile.mkdtemp(prefix="z40k-browser-")
    downloads = os.path.join(work, "downloads")
    os.mkdir(downloads)
    server = subprocess.Popen([z40k, "serve", "--port", "0", "--registry", os.path.join(work, "z40k.reg"),
                               "--drive-c", work], stdout=subprocess.PIPE, text=True)
    url = server.stdout.readline().strip().rsplit(" ", 1)[-1]
    assert url.startswith("http://127.0.0.1:"), "no address printed: " + url

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                     "--window-size=1280,1000", "--no-proxy-server"):
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    failures = []
    try:
        browser.get(url)
        WebDriverWait(browser, 20).until(lambda b: b.find_element(By.TAG_NAME, "body").get_attribute("data-ready"))
        wait_for("the first picture", lambda: browser.execute_script(MEAN_OF_PICTURE) > 0)

        # The picture is live: the frame number advances.
        frame = lambda: int(browser.find_element(By.ID, "frame").text or 0)
        first = frame()
        wait_for("the frame number to advance", lambda: frame() > first + 5)

        # Moving the exposure control makes the picture brighter, and the picture on screen changes.
        picture = browser.find_element(By.ID, "live")
        before_shot = picture.screenshot_as_png
        before = browser.execute_script(MEAN_OF_PICTURE)
        slider = browser.find_element(By.ID, "prop-exposure")
        browser.execute_script(
            "arguments[0].value = 1500; arguments[0].dispatchEvent(new Event('input'));"
            "arguments[0].dispatchEvent(new Event('change'));", slider)
        wait_for("the exposure to be set", lambda: browser.find_element(By.ID, "msg-exposure").text == "set")
        after = wait_for("a brighter picture",
                         lambda: (lambda m: m if m > before * 1.3 else 0)(browser.execute_script(MEAN_OF_PICTURE)))
        if picture.screenshot_as_png == before_shot:
            failures.append("two screenshots of the picture are the same")
        print("brightness %.1f -> %.1f at twice the exposure" % (before, after))

        # Each control shows its range and default, and a note fades once read.
        text = lambda element_id: browser.find_element(By.ID, element_id).text
        if text("range-exposure") != "0..2047, default 750":
            failures.append("the exposure's range reads %r" % text("range-exposure"))
        wait_for("the note to fade", lambda: text("msg-exposure") == "", timeout=6)

        # A change that moves another control shows at once: white balance "auto" turns the automatic
        # white balance on, and a manual white balance turns it off again.
        awb = lambda: browser.find_element(By.ID, "sw-awb").is_selected()
        if awb():
            failures.append("the automatic white balance is on before it was asked for")
        browser.find_element(By.ID, "auto-white-balance").click()
        wait_for("the awb switch to turn on", awb)
        box = browser.find_element(By.ID, "num-white-balance")
        box.clear()
        box.send_keys("100", Keys.TAB)
        wait_for("the awb switch to turn off", lambda: not awb())

        # The reset button puts the default back.
        browser.find_element(By.ID, "reset-exposure").click()
        wait_for("the exposure's default", lambda: browser.find_element(By.ID, "num-exposure").get_attribute("value") == "750")

        # A value the driver refuses shows the driver's status, and the control goes back to what it holds.
        box = browser.find_element(By.ID, "num-brightness")
        box.clear()
        box.send_keys("200", Keys.TAB)
        # (Clearing the box first shows "not a number" for a moment; the refusal's note follows it.)
        message = wait_for("the refusal", lambda: (lambda t: t if "STATUS_" in t else "")(text("msg-brightness")))
        if "STATUS_INVALID_PARAMETER" not in message:
            failures.append("refused brightness showed %r" % message)
        if box.get_attribute("value") != "0":
            failures.append("the brightness box shows %s after the refusal" % box.get_attribute("value"))

        # The snapshot downloads a full-size PNG.
        browser.find_element(By.ID, "snapshot").click()
        saved = wait_for("the snapshot download", lambda: [f for f in os.listdir(downloads) if f.endswith(".png")])
        size = png_size(os.path.join(downloads, saved[0]))
        if size != (2560, 1920):
            failures.append("snapshot is %dx%d" % size)

        # A phone's width: the page fits without scrolling sideways.
        browser.set_window_size(390, 844)
        time.sleep(0.3)
        overflow = browser.execute_script("return document.documentElement.scrollWidth - window.innerWidth")
        if overflow > 0:
            failures.append("the page is %d px wider than a phone" % overflow)

        # The browser logs the refusal's 422 answer as a failed load; that one is expected.
        errors = [e for e in browser.get_log("browser") if e["level"] == "SEVERE" and not (
            e["source"] == "network" and "/api/properties/brightness" in e["message"] and "422" in e["message"])]
        if errors:
            failures.append("console errors: %s" % errors)
    finally:
        browser.quit()
        server.send_signal(signal.SIGINT)
        status = server.wait(timeout=20)
        if status != 0:
            failures.append("z40k serve ended with status %d after Ctrl-C" % status)
    for failure in failures:
        print("FAIL:", failure)
    print("browser test", "failed" if failures else "passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
