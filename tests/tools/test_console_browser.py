"""The console in a real browser: headless Chromium (Debian's chromium, chromium-driver, python3-selenium)
against `zelctl serve --demo` on a loopback address of its own.

The page must show the demo unit's 8 channel rows with live readings; setting channel 2 to 12.5 dB in the page
must move the simulated unit's VOA code (read back through the API, a second client); a 2x2 switch flipped in
the page must be flipped in the unit; a short sweep must fill the chart with its points; and the browser must
have asked nothing of any other origin. A screenshot goes to ZEL_CONSOLE_SCREENSHOT (default: the working
directory), and also to ZEL_CONSOLE_SCREENSHOT_DOCS when set (docs/console.png for the README).

Environment: ZELCTL (the zelctl binary), ZEL_UNIT_SIM (the simulator).
"""

import json
import math
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

import pytest
from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import Select, WebDriverWait

ADDRESS = "127.27.0.1"  # this suite's own loopback address
WAIT_S = 15


def free_port():
    with socket.socket() as s:
        s.bind((ADDRESS, 0))
        return s.getsockname()[1]


class Console:
    """A `zelctl serve` process (default: --demo), stopped by its PID with SIGINT as Ctrl-C would."""

    def __init__(self, zelctl, units=("--demo",)):
        self.port = free_port()
        self.proc = subprocess.Popen(
            [zelctl, "serve", *units, "--listen", f"{ADDRESS}:{self.port}"],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.url = None
        self.output = []
        deadline = time.monotonic() + WAIT_S
        while self.url is None:
            line = self.proc.stdout.readline()
            if not line:
                raise AssertionError("zelctl serve ended before printing its URL:\n" + "".join(self.output))
            self.output.append(line)
            if line.startswith("Console: "):
                self.url = line.split(" ", 1)[1].strip()
            if time.monotonic() > deadline:
                raise AssertionError("zelctl serve printed no URL:\n" + "".join(self.output))
        self.origin = f"http://{ADDRESS}:{self.port}"
        assert self.url.startswith(self.origin + "/"), self.url
        self.token = self.url.split("token=", 1)[1] if "token=" in self.url else None

    def get(self, path):
        request = urllib.request.Request(self.origin + path)
        if self.token:
            request.add_header("Authorization", "Bearer " + self.token)
        with urllib.request.urlopen(request, timeout=5) as response:
            return json.loads(response.read())

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.stdout.read()
            return self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise


def zelctl_json(address, *args):
    """A second client: zelctl on the unit's own address, its --json answer."""
    done = subprocess.run([os.environ["ZELCTL"], "--unit", address, *args, "--json"], check=True,
                          capture_output=True, text=True, timeout=30)
    return json.loads(done.stdout)


def processes_using(path):
    """PIDs of the processes whose command line names `path` (the browser's profile)."""
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if path.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


@pytest.fixture(scope="module")
def console():
    c = Console(os.environ["ZELCTL"])
    yield c
    assert c.stop() == 0, "".join(c.output)


@pytest.fixture(scope="module")
def browser():
    home = tempfile.mkdtemp(prefix="zel-console-browser-")
    profile = os.path.join(home, "profile")
    downloads = os.path.join(home, "downloads")
    os.makedirs(downloads)
    options = webdriver.ChromeOptions()
    options.add_experimental_option("prefs", {"download.default_directory": downloads,
                                              "download.prompt_for_download": False})
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1360,1360", "--no-first-run", "--no-default-browser-check",
                # A proxy that does not exist: loopback bypasses it, any other host fails.
                "--proxy-server=127.0.0.1:9",
                f"--user-data-dir={profile}"):
        options.add_argument(arg)
    env_home = os.environ.get("HOME")
    os.environ["HOME"] = home
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    finally:
        if env_home is None:
            del os.environ["HOME"]
        else:
            os.environ["HOME"] = env_home
    driver.set_page_load_timeout(WAIT_S)
    driver.set_script_timeout(WAIT_S)
    driver.downloads = downloads
    try:
        yield driver
    finally:
        driver.quit()
        # The browser's helpers outlive quit() by a moment: wait for them before removing their profile.
        deadline = time.monotonic() + 10
        while processes_using(profile) and time.monotonic() < deadline:
            time.sleep(0.1)
        shutil.rmtree(home, ignore_errors=True)


def wait_for(driver, what, condition, timeout=WAIT_S):
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.1).until(lambda d: condition())
    except TimeoutException:
        errors = driver.find_elements(By.CSS_SELECTOR, ".error")
        shown = [e.text for e in errors if e.text]
        raise AssertionError(f"timed out waiting for {what}; errors on the page: {shown}") from None


def type_into(field, *keys):
    """As a user types over a field's value: it keeps the focus throughout (the live feed leaves a focused
    field alone), where WebDriver's clear() would take it away."""
    field.click()
    field.send_keys(Keys.CONTROL, "a")
    field.send_keys(*keys)


def channel_row(driver, channel):
    return driver.find_element(By.CSS_SELECTOR, f"section.unit tr.channel[data-channel='{channel}']")


def api_channel(console, unit, channel):
    channels = console.get(f"/api/v1/units/{unit}/channels")
    channels = channels["channels"] if isinstance(channels, dict) else channels
    return next(c for c in channels if c["channel"] == channel)


def save_screenshot(driver):
    paths = [os.environ.get("ZEL_CONSOLE_SCREENSHOT", "console.png")]
    if os.environ.get("ZEL_CONSOLE_SCREENSHOT_DOCS"):
        paths.append(os.environ["ZEL_CONSOLE_SCREENSHOT_DOCS"])
    for path in paths:
        os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
        assert driver.save_screenshot(path), path
        assert os.path.getsize(path) > 10000, path  # a picture of the console, not an empty page


def test_console_drives_the_demo_unit(console, browser):
    driver = browser
    driver.get(console.url)
    unit = console.get("/api/v1/units")[0]["name"]

    # 8 channel rows, with live readings: the round's time on the rows advances and the powers are numbers.
    wait_for(driver, "8 channel rows", lambda: len(driver.find_elements(By.CSS_SELECTOR, "tr.channel")) == 8)
    wait_for(driver, "the first readings", lambda: channel_row(driver, 0).get_attribute("data-time"))
    first = channel_row(driver, 0).get_attribute("data-time")
    wait_for(driver, "a second round of readings", lambda: channel_row(driver, 0).get_attribute("data-time") != first)
    for row in driver.find_elements(By.CSS_SELECTOR, "tr.channel"):
        uw = float(row.find_element(By.CSS_SELECTOR, ".power-uw").text)
        shown_dbm = float(row.find_element(By.CSS_SELECTOR, ".power-dbm").text)
        assert uw > 0
        assert abs(shown_dbm - 10 * math.log10(uw / 1000)) < 0.05  # the two columns are one reading
    assert driver.find_element(By.ID, "feed-state").text == "feed: live"
    assert "disconnected" not in driver.find_element(By.CSS_SELECTOR, "section.unit").get_attribute("class")

    # A value outside the range is refused beside the field, and nothing reaches the unit.
    before = api_channel(console, unit, 2)
    field = channel_row(driver, 2).find_element(By.CSS_SELECTOR, ".att-input")
    type_into(field, "31", Keys.ENTER)
    error = channel_row(driver, 2).find_element(By.CSS_SELECTOR, ".att-error")
    wait_for(driver, "the range message beside the field", lambda: "outside" in error.text)
    assert api_channel(console, unit, 2)["code"] == before["code"]

    # Channel 2 to 12.5 dB, typed into the page: the unit's VOA code moves and reads back 12.5 dB.
    field = channel_row(driver, 2).find_element(By.CSS_SELECTOR, ".att-input")
    type_into(field, "12.5", Keys.ENTER)
    wait_for(driver, "the VOA code of channel 2 to change",
             lambda: api_channel(console, unit, 2)["code"] != before["code"])
    after = api_channel(console, unit, 2)
    assert abs(after["attenuation_db"] - 12.5) < 0.05, after
    wait_for(driver, "the page to show channel 2 at 12.5 dB",
             lambda: channel_row(driver, 2).find_element(By.CSS_SELECTOR, ".code").text == str(after["code"]))
    assert abs(float(channel_row(driver, 2).find_element(By.CSS_SELECTOR, ".att-read").text) - 12.5) < 0.05
    assert error.text == ""  # the refusal's message goes with the next action

    # The slider of channel 5, moved to its end (as a drag that lets go there): 30 dB.
    channel_row(driver, 5).find_element(By.CSS_SELECTOR, ".att-slider").send_keys(Keys.END)
    wait_for(driver, "channel 5 at 30 dB",
             lambda: abs((api_channel(console, unit, 5)["attenuation_db"] or 0) - 30.0) < 0.05)
    wait_for(driver, "the field beside the slider to say 30",
             lambda: channel_row(driver, 5).find_element(By.CSS_SELECTOR, ".att-input").get_attribute("value")
             in ("30.0", "30.00"))

    # The 2x2 switch of channel 3, flipped in the page.
    position = api_channel(console, unit, 3)["switch_2x2"]
    channel_row(driver, 3).find_element(By.CSS_SELECTOR, ".sw2x2").click()
    wait_for(driver, "the 2x2 switch of channel 3 to flip",
             lambda: api_channel(console, unit, 3)["switch_2x2"] == 1 - position)
    wait_for(driver, "the page to show the flipped switch",
             lambda: channel_row(driver, 3).find_element(By.CSS_SELECTOR, ".sw2x2").get_attribute("data-position")
             == str(1 - position))

    # A short sweep of channel 1: 0 to 5 dB by 0.5 dB is 11 points, on the chart and in the count.
    Select(driver.find_element(By.ID, "sweep-channel")).select_by_value("1")
    # A dwell of 100 ms a step lets the curve be seen growing from the feed's sweep points.
    for field, value in (("sweep-from", "0"), ("sweep-to", "5"), ("sweep-step", "0.5"), ("sweep-dwell", "100")):
        type_into(driver.find_element(By.ID, field), value)
    driver.execute_script("""
        const count = document.getElementById('sweep-count');
        window.sweepCounts = [];
        new MutationObserver(() => window.sweepCounts.push(Number(count.dataset.points)))
            .observe(count, {attributes: true, childList: true, characterData: true, subtree: true});""")
    driver.find_element(By.ID, "sweep-run").click()
    count = driver.find_element(By.ID, "sweep-count")
    wait_for(driver, "the sweep's 11 points", lambda: count.get_attribute("data-points") == "11" and
             "\u2026" not in count.text)
    seen = driver.execute_script("return window.sweepCounts;")
    assert [n for n in seen if 0 < n < 11], f"the curve did not grow point by point: {seen}"
    lengths = driver.execute_script(
        "return Chart.getChart('sweep-chart').data.datasets.map(d => d.data.length)"
        ".concat(Chart.getChart('sweep-error-chart').data.datasets[0].data.length);")
    assert lengths == [11, 11, 11], lengths
    points = driver.execute_script("return Chart.getChart('sweep-chart').data.datasets[0].data;")
    assert [p["x"] for p in points] == pytest.approx([0.5 * k for k in range(11)])
    assert all(abs(p["y"] - p["x"]) < 0.1 for p in points), points  # attenuation read against set
    assert abs(api_channel(console, unit, 1)["attenuation_db"] - 5.0) < 0.05  # left at the last step

    # The sweep downloads as CSV and SVG, made by the server from the same points.
    driver.find_element(By.ID, "sweep-csv").click()
    driver.find_element(By.ID, "sweep-svg").click()
    for name in (f"sweep-{unit}-ch1.csv", f"sweep-{unit}-ch1.svg"):
        path = os.path.join(driver.downloads, name)
        wait_for(driver, "the download " + name, lambda: os.path.exists(path) and os.path.getsize(path) > 0)
    with open(os.path.join(driver.downloads, f"sweep-{unit}-ch1.csv")) as f:
        rows = [line.split(",") for line in f.read().splitlines() if line and not line.startswith("#")]
    assert rows[0][:2] == ["set_db", "read_db"]
    assert [float(r[0]) for r in rows[1:]] == pytest.approx([p["x"] for p in points])
    assert [float(r[1]) for r in rows[1:]] == pytest.approx([p["y"] for p in points], abs=1e-3)
    with open(os.path.join(driver.downloads, f"sweep-{unit}-ch1.svg")) as f:
        assert "<svg" in f.read()

    # The unit's selectors and wavelength slot, each read back by a second client.
    address = console.get("/api/v1/units")[0]["address"]
    card = driver.find_element(By.CSS_SELECTOR, "section.unit")
    for kind, position in (("mems", 3), ("lbmm", 5)):
        Select(card.find_element(By.CSS_SELECTOR, "select." + kind)).select_by_value(str(position))
        wait_for(driver, f"the {kind} switch at {position}",
                 lambda: zelctl_json(address, "switch", kind, "get")["position"] == position)
    Select(card.find_element(By.CSS_SELECTOR, "select.wavelength")).select_by_value("1550")
    wait_for(driver, "the 1550 nm slot", lambda: console.get("/api/v1/units")[0]["wavelength_nm"] == 1550)
    Select(card.find_element(By.CSS_SELECTOR, "select.wavelength")).select_by_value("1310")
    wait_for(driver, "the 1310 nm slot", lambda: console.get("/api/v1/units")[0]["wavelength_nm"] == 1310)
    assert card.find_element(By.CSS_SELECTOR, ".wavelength-error").text == ""

    # Everything the browser asked for came from the console's own origin.
    names = driver.execute_script(
        "return performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'))"
        ".map(e => e.name);")
    assert any(n.endswith("/chart.min.js") for n in names), names
    outside = [n for n in names if not n.startswith(console.origin + "/")]
    assert outside == [], outside

    save_screenshot(driver)


def test_calibration_backup_diff_and_restore(console, browser, tmp_path):
    driver = browser
    unit = console.get("/api/v1/units")[0]
    request = urllib.request.Request(console.origin + f"/api/v1/units/{unit['name']}/calibration")
    request.add_header("Authorization", "Bearer " + console.token)
    with urllib.request.urlopen(request, timeout=5) as response:
        saved = response.read().decode()
    backup = tmp_path / "backup.json"
    backup.write_text(saved)

    # The calibration panel draws a VOA curve for each of the 8 channels, and the TAP factors.
    driver.find_element(By.CSS_SELECTOR, ".tab[data-tab='calibration']").click()
    driver.find_element(By.ID, "calib-load").click()
    wait_for(driver, "the VOA curves",
             lambda: driver.execute_script("return Chart.getChart('calib-chart').data.datasets.length;") == 8)
    doc = json.loads(saved)
    taps = [row.text.split()[1] for row in driver.find_elements(By.CSS_SELECTOR, "#calib-tap tr")[1:]]
    assert [float(t) for t in taps] == pytest.approx([c["tap"] for c in doc["wavelengths"][0]["channels"]], rel=1e-5)
    # The curve is the calibration polynomial: at code 1000 it gives what the coefficients give.
    c = doc["wavelengths"][0]["channels"][2]["voa"]
    drawn = driver.execute_script(
        "return Chart.getChart('calib-chart').data.datasets[2].data.find(p => p.x === 992).y;")
    assert drawn == pytest.approx(((c[0] * 992 + c[1]) * 992 + c[2]) * 992 + c[3])

    # A second client changes the TAP factor of channel 0; restoring the backup in the page shows that one
    # record as the change, and the confirmed restore puts it back.
    zelctl_json(unit["address"], "calib", "set", "tap", "-c", "0", "0.0312")
    # Another unit's backup (another serial number) is refused beside the file field, with the reason.
    other = tmp_path / "other.json"
    other_doc = dict(doc, unit=dict(doc["unit"], serial=doc["unit"]["serial"] + 1))
    other.write_text(json.dumps(other_doc))
    driver.find_element(By.ID, "calib-file").send_keys(str(other))
    error = driver.find_element(By.ID, "calib-error")
    wait_for(driver, "the serial number refusal", lambda: "serial number" in error.text)
    assert not driver.find_element(By.ID, "calib-diff").is_displayed()

    driver.find_element(By.ID, "calib-file").send_keys(str(backup))
    diff = driver.find_element(By.ID, "calib-diff")
    wait_for(driver, "the diff of the backup", lambda: diff.is_displayed() and
             diff.find_elements(By.CSS_SELECTOR, "#calib-diff-body tr"))
    rows = [r.text for r in diff.find_elements(By.CSS_SELECTOR, "#calib-diff-body tr")[1:]]
    assert len(rows) == 1 and "channel 0" in rows[0] and "tap" in rows[0], rows
    driver.find_element(By.ID, "calib-restore").click()
    wait_for(driver, "the restore", lambda: driver.find_element(By.ID, "calib-restore-state").text == "restored")
    with urllib.request.urlopen(request, timeout=5) as response:
        assert json.loads(response.read()) == doc

    # The frame log shows the unit's frames both ways.
    driver.find_element(By.CSS_SELECTOR, ".tab[data-tab='frames']").click()
    wait_for(driver, "frames both ways", lambda: driver.find_elements(By.CSS_SELECTOR, "#frames tr.sent") and
             driver.find_elements(By.CSS_SELECTOR, "#frames tr.received"))
    driver.find_element(By.CSS_SELECTOR, ".tab[data-tab='sweep']").click()


def test_a_unit_that_goes_away_is_greyed_and_comes_back(browser):
    """A unit of its own (a zel-unit-sim process): stopped, the page shows it disconnected with the library's
    reason; started again, it is connected with live readings."""
    sim_address = "127.27.0.5"
    sim = [os.environ["ZEL_UNIT_SIM"], "--listen", sim_address]
    unit = subprocess.Popen(sim, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    console = None
    try:
        time.sleep(0.3)
        console = Console(os.environ["ZELCTL"], ("--unit", sim_address))
        driver = browser
        driver.get(console.url)
        card = wait_for(driver, "the unit's card",
                        lambda: driver.find_elements(By.CSS_SELECTOR, f"section.unit[data-unit='{sim_address}']"))[0]
        wait_for(driver, "8 live rows", lambda: len(card.find_elements(By.CSS_SELECTOR, "tr.channel")) == 8)
        assert card.find_element(By.CSS_SELECTOR, ".state").text == "connected"

        unit.send_signal(signal.SIGTERM)
        unit.wait(timeout=10)
        wait_for(driver, "the card greyed", lambda: "disconnected" in card.get_attribute("class"))
        assert card.find_element(By.CSS_SELECTOR, ".state").text == "disconnected"
        assert card.find_element(By.CSS_SELECTOR, ".unit-error").text != ""  # why, as the library says
        assert not card.find_element(By.CSS_SELECTOR, "tr.channel .att-apply").is_enabled()

        unit = subprocess.Popen(sim, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for(driver, "the unit back", lambda: "disconnected" not in card.get_attribute("class"))
        row = card.find_element(By.CSS_SELECTOR, "tr.channel[data-channel='0']")
        time_before = row.get_attribute("data-time")
        wait_for(driver, "readings again", lambda: row.get_attribute("data-time") != time_before)
        assert card.find_element(By.CSS_SELECTOR, ".unit-error").text == ""
        assert card.find_element(By.CSS_SELECTOR, "tr.channel .att-apply").is_enabled()
    finally:
        if console is not None:
            assert console.stop() == 0, "".join(console.output)
        if unit.poll() is None:
            unit.send_signal(signal.SIGTERM)
            unit.wait(timeout=10)
