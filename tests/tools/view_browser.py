#!/usr/bin/python3
"""Drives the page of `bayercam view` in headless Chromium over the DevTools protocol, as a
person does: a mouse click on the Brightness slider, a click on the FlipH check box, and 100
typed into the Timeout field (which the driver ignores, so the field must snap back). Prints
one JSON object with what the page then showed, and saves a screenshot of it.

    view_browser.py URL SCREENSHOT.png

Exit status 0 when every step happened; 1, with the reason on standard error, otherwise.
Needs only Debian's chromium and python3-websocket."""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

import websocket

STEP_SECONDS = 30


class Failure(Exception):
    pass


class Browser:
    def __init__(self):
        self.profile = tempfile.mkdtemp(prefix="bayercam-chromium-")
        chromium = shutil.which("chromium") or "/usr/bin/chromium"
        self.process = subprocess.Popen(
            [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
             "--no-default-browser-check", "--disable-extensions",
             "--remote-debugging-address=127.0.0.1", "--remote-debugging-port=0",
             "--user-data-dir=" + self.profile, "--window-size=1280,1100", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.ws = None
        self.last_id = 0
        # Chromium writes the port it chose into the profile once it listens.
        port_file = os.path.join(self.profile, "DevToolsActivePort")
        deadline = time.time() + STEP_SECONDS
        while not os.path.exists(port_file) or os.path.getsize(port_file) == 0:
            if time.time() > deadline or self.process.poll() is not None:
                raise Failure("chromium did not open its DevTools port")
            time.sleep(0.1)
        with open(port_file) as f:
            port = int(f.readline())
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10) as answer:
            targets = json.load(answer)
        page = next(t for t in targets if t["type"] == "page")
        self.ws = websocket.create_connection(page["webSocketDebuggerUrl"], timeout=STEP_SECONDS,
                                              suppress_origin=True)

    def close(self):
        if self.ws:
            self.ws.close()
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)

    def call(self, method, **params):
        self.last_id += 1
        self.ws.send(json.dumps({"id": self.last_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.ws.recv())
            if message.get("id") == self.last_id:
                if "error" in message:
                    raise Failure(f"{method}: {message['error']}")
                return message.get("result", {})

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True,
                           awaitPromise=True)
        if "exceptionDetails" in result:
            raise Failure(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, what):
        deadline = time.time() + STEP_SECONDS
        while time.time() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.1)
        raise Failure("the page never showed " + what)

    def rect(self, element_id):
        """The element's box on the screen, scrolled into view first."""
        return self.evaluate(
            f"(() => {{ const e = document.getElementById('{element_id}');"
            " e.scrollIntoView({block: 'center'});"
            " const r = e.getBoundingClientRect(); return [r.left, r.top, r.width, r.height]; })()")

    def click(self, x, y):
        self.call("Input.dispatchMouseEvent", type="mouseMoved", x=x, y=y)
        for kind in ("mousePressed", "mouseReleased"):
            self.call("Input.dispatchMouseEvent", type=kind, x=x, y=y, button="left",
                      clickCount=1)

    def type_into(self, element_id, text):
        left, top, width, height = self.rect(element_id)
        self.click(left + width / 2, top + height / 2)
        self.call("Input.dispatchKeyEvent", type="keyDown", key="a", code="KeyA",
                  windowsVirtualKeyCode=65, modifiers=2, commands=["selectAll"])
        self.call("Input.dispatchKeyEvent", type="keyUp", key="a", code="KeyA",
                  windowsVirtualKeyCode=65, modifiers=2)
        self.call("Input.insertText", text=text)
        for kind in ("keyDown", "keyUp"):
            self.call("Input.dispatchKeyEvent", type=kind, key="Enter", code="Enter",
                      windowsVirtualKeyCode=13, text="\r")


def drive(browser, url, screenshot):
    browser.call("Page.enable")
    browser.call("Page.navigate", url=url)
    browser.wait_for("!!document.getElementById('FlipH-check') &&"
                     " document.getElementById('Brightness-value').textContent === '255' &&"
                     " document.getElementById('live').naturalWidth > 0",
                     "its controls and the video")

    # Six tenths along the slider: brighter than the middle, short of washing the picture out.
    left, top, width, height = browser.rect("Brightness-range")
    browser.click(left + 0.6 * width, top + height / 2)
    brightness = browser.wait_for(
        "(() => { const v = document.getElementById('Brightness-value').textContent;"
        " return v !== '255' && v === document.getElementById('Brightness-number').value"
        " && Number(v); })()", "a new Brightness read back")

    left, top, width, height = browser.rect("FlipH-check")
    browser.click(left + width / 2, top + height / 2)
    browser.wait_for("document.getElementById('FlipH-value').textContent === '1' &&"
                     " document.getElementById('FlipH-check').checked", "FlipH read back as 1")

    browser.type_into("Timeout-number", "100")
    message = browser.wait_for(
        "(() => { const m = document.getElementById('message').textContent;"
        " return m.startsWith('Timeout <- 100') &&"
        " document.getElementById('Timeout-number').value === '3000' && m; })()",
        "the Timeout field snap back to what the driver kept")

    # A second of video at the new settings before the picture is taken, from the top.
    browser.evaluate("window.scrollTo(0, 0)")
    time.sleep(1.5)
    shot = browser.call("Page.captureScreenshot", format="png")
    with open(screenshot, "wb") as f:
        f.write(base64.b64decode(shot["data"]))
    return {
        "brightness": brightness,
        "flipH": browser.evaluate("document.getElementById('FlipH-value').textContent"),
        "message": message,
        "status": browser.evaluate("document.getElementById('status').textContent"),
        "video": browser.evaluate("[document.getElementById('live').naturalWidth,"
                                  " document.getElementById('live').naturalHeight]"),
    }


def main():
    if len(sys.argv) != 3:
        print("usage: view_browser.py URL SCREENSHOT.png", file=sys.stderr)
        return 2
    browser = None
    try:
        browser = Browser()
        print(json.dumps(drive(browser, sys.argv[1], sys.argv[2])))
        return 0
    except (Failure, OSError, websocket.WebSocketException, StopIteration) as e:
        print(f"view_browser.py: {e}", file=sys.stderr)
        return 1
    finally:
        if browser:
            browser.close()


if __name__ == "__main__":
    sys.exit(main())
