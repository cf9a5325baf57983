#!/usr/bin/python3
"""The web view as its users meet it: a real browser on a desktop and on a phone, hostile
requests and clients, and 20 polling clients against a running tool.
Usage: web_view.py TRAILCAM SCREENSHOT_FOLDER (web-desktop.png and web-phone.png go there)"""
import atexit, datetime, http.client, json, os, re, shutil, socket, subprocess, sys, tempfile, threading, time
import urllib.request
from concurrent.futures import ThreadPoolExecutor
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

tool, shots, work = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), tempfile.mkdtemp()
out, err = os.path.join(work, "out"), os.path.join(work, "err")
# The sky 20 times faster than real time reaches its first snapshot in seconds.
process = subprocess.Popen([tool, "--demo", "--headless", "--http", "127.0.0.1:0", "--size", "320x240",
                            "--demo-speed", "20", "--metadata", "--time-map", "--clips", "clips", "--keogram",
                            "--keogram-every", "10", "--timelapse", "--timelapse-every", "2", "--segments", "30",
                            "--reject-flashes", "--http-edit", "--sky-quality", "--quality-every", "1"], cwd=work,
                           stdin=subprocess.DEVNULL, stdout=open(out, "w"), stderr=open(err, "w"))
atexit.register(process.kill)  # also when a check fails
while not (found := re.search(r"web view at http://127\.0\.0\.1:(\d+)/", open(err).read())):
    assert process.poll() is None, "the tool ended: " + open(err).read()
    time.sleep(0.1)  # the check's own timeout ends a tool that never says where it listens
port = int(found.group(1))
site = "http://127.0.0.1:%d/" % port
get_json = lambda path: json.loads(urllib.request.urlopen(site + path).read())


def browser(width, height, phone):
    options = webdriver.ChromeOptions()
    for flag in ["headless", "no-sandbox", "disable-gpu", "window-size=%d,%d" % (width, height),
                 "user-data-dir=%s/chromium-%d" % (work, width)]:
        options.add_argument("--" + flag)
    if phone:
        options.add_experimental_option("mobileEmulation",
                                        {"deviceMetrics": {"width": width, "height": height, "pixelRatio": 2}})
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    atexit.register(driver.quit)
    return driver, WebDriverWait(driver, 60, poll_frequency=0.2), driver.execute_script


def loaded(script, what):
    return script("const i = %s; return i !== null && i.complete && i.naturalWidth > 0" % what)


def nearest(times, t):
    """The image whose time is nearest, the earlier of two as near."""
    return min(range(len(times)), key=lambda i: (abs(times[i] - t), i))


millis = lambda text: round(datetime.datetime.fromisoformat(text.replace("Z", "+00:00")).timestamp() * 1000)
player_frame = "const m = /timelapse\\/(\\d+)\\.jpg/.exec(player.src); return m && player.complete && player.naturalWidth > 0 ? +m[1] : -1"

# A desktop browser: both images load, the fields change, the chart grows, a snapshot appears.
driver, wait, script = browser(1280, 900, False)
driver.get(site)
wait.until(lambda d: loaded(script, "frame") and loaded(script, "trail"))
# The first load without pictures stays small.
first_load = script("return performance.getEntriesByType('navigation').concat(performance.getEntriesByType('resource'))"
                    ".filter((e) => ['navigation', 'fetch', 'xmlhttprequest'].includes(e.initiatorType))"
                    ".reduce((sum, e) => sum + e.transferSize, 0)")
assert 0 < first_load <= 100000, "the first load took %d bytes" % first_load
state = "return [frameCounter.textContent, diffLine.getAttribute('points').split(' ').length]"
wait.until(lambda d: script(state)[1] >= 1)
first = script(state)
wait.until(lambda d: script(state)[0] != first[0] and script(state)[1] > first[1])
wait.until(lambda d: script("return document.querySelector('#gallery img') !== null"))
script("document.getElementById('gallery').scrollIntoView()")  # its pictures load as they come into view
wait.until(lambda d: loaded(script, "document.querySelector('#gallery img')"))
script("scrollTo(0, 0)")
wait.until(lambda d: loaded(script, "document.querySelector('#events img')"))
assert "UTC to" in script("return document.getElementById('gallery').textContent")
assert script("return document.getElementById('scale').style.display") == "flex"
webdriver.ActionChains(driver).move_to_element_with_offset(driver.find_element("id", "trail"), 5, 5).perform()
wait.until(lambda d: script("return trailTime.textContent").startswith(("rose at", "unchanged")))

# The chart: a time axis labelled in local hours, the growth's values, the stars on a second axis.
axes = "return [...document.querySelectorAll('#chart g.axis')].map((g) => [g.id, [...g.querySelectorAll('text')].map((t) => t.textContent)])"
wait.until(lambda d: {"timeAxis", "valueAxis", "skyAxis"} <= {a[0] for a in script(axes)})
labels = dict(script(axes))
assert labels["timeAxis"] and all(re.fullmatch(r"\d\d:00", t) for t in labels["timeAxis"]), labels
assert len(labels["valueAxis"]) >= 2 and labels["valueAxis"][0] == "0", labels
assert "stars" in labels["skyAxis"] and len(labels["skyAxis"]) >= 3, labels

# The keogram scrubs the timelapse: a click at a quarter and at three
# quarters of its width shows the image taken nearest that column's time.
wait.until(lambda d: script("return keogram.naturalWidth") >= 8 and script(player_frame) >= 0)
keogram = driver.find_element("id", "keogram")
keogram_width = "return keogram.complete ? keogram.naturalWidth : 0"


def click_keogram(share):
    """The image the page shows after a click at that share of the keogram's width, and the one expected;
    None when the keogram was loaded again, wider, between the two."""
    wait.until(lambda d: script(keogram_width) >= 8)
    columns, box = script("return [keogram.naturalWidth, keogram.getBoundingClientRect().toJSON()]")
    column = int(share * columns)
    night_entry = [n for n in get_json("nights.json") if n["night"] == get_json("status.json")["night"]][0]
    column_time = millis(get_json("products/" + night_entry["keogram"].replace(".png", ".json"))[column])
    expected = nearest([millis(t) for t in get_json("timelapse.json")["times"]], column_time)
    # The middle of the column, from the element's centre.
    offset = (column + 0.5) * box["width"] / columns - box["width"] / 2
    webdriver.ActionChains(driver).move_to_element_with_offset(keogram, round(offset), 0).click().perform()
    try:
        WebDriverWait(driver, 10, poll_frequency=0.2).until(lambda d: script(player_frame) == expected)
    except Exception:
        if script(keogram_width) != columns:
            return None
        raise AssertionError("a click on column %d of %d shows image %d, not %d"
                             % (column, columns, script(player_frame), expected))
    assert script("return playerTime.textContent").startswith("image %d of" % (expected + 1))
    return expected


shown_frames = []
for share in (0.25, 0.75):
    for attempt in range(5):  # the page loads the night's keogram again as it grows
        if (shown := click_keogram(share)) is not None:
            break
    assert shown is not None, "the keogram never stood still"
    shown_frames.append(shown)
assert shown_frames[1] > shown_frames[0], shown_frames
# Play goes on from there; the arrow keys step back a frame.
driver.find_element("id", "play").click()
wait.until(lambda d: script(player_frame) > shown_frames[1])
driver.find_element("id", "play").click()
wait.until(lambda d: script(player_frame) >= 0)
paused = script(player_frame)
webdriver.ActionChains(driver).send_keys(Keys.ARROW_LEFT).perform()
wait.until(lambda d: script(player_frame) == paused - 1)

# Event thumbnails show the trail where it grew: the box with 16 pixels
# around it, within the 320x240 image, at most 160 wide.
thumbnails = "return [...document.querySelectorAll('#events img')].filter((i) => i.complete && i.naturalWidth)" \
             ".map((i) => [i.getAttribute('src'), i.naturalWidth, i.naturalHeight])"
wait.until(lambda d: len(script(thumbnails)) >= 4)
boxes = {e["thumbnail"]: e["box"] for e in get_json("events.json")}
shown_thumbnails = [t for t in script(thumbnails) if t[0] in boxes and t[0].startswith("events/")]
source, width, height = min(shown_thumbnails, key=lambda t: boxes[t[0]][2] * boxes[t[0]][3])
x, y, w, h = boxes[source]
left, top, right, bottom = max(0, x - 16), max(0, y - 16), min(320, x + w + 16), min(240, y + h + 16)
crop = (right - left, bottom - top)
crop = crop if crop[0] <= 160 else (160, max(1, crop[1] * 160 // crop[0]))
assert (width, height) == crop != (160, 120), (source, boxes[source], width, height, crop)
# An event with a clip plays it in the player, frame by frame.
wait.until(lambda d: script("return [...document.querySelectorAll('#events .card')].some((c) => c.textContent.includes('tap to play'))"))
script("[...document.querySelectorAll('#events .card')].find((c) => c.textContent.includes('tap to play')).click()")
wait.until(lambda d: re.search(r"/clips/[0-9-]+/([1-9][0-9]*)\.jpg$", script("return player.src")) and loaded(script, "player"))

# The night's segments: bars tall enough to tap, and the star trail; a click
# leaves the first segment out by hand (the page's own POST, with its Origin).
wait.until(lambda d: script("return document.querySelectorAll('#timeline span').length >= 2") and loaded(script, "startrail"))
first_segment = get_json("segments.json")[0]["file"]
script("document.querySelector('#timeline span').click()")  # the bars are drawn again now and then
wait.until(lambda d: get_json("segments.json")[0].get("excluded") == "by hand")
wait.until(lambda d: script("return document.querySelector('#timeline span').className") == "out hand")
script("nightBox.scrollIntoView()")
driver.save_screenshot(os.path.join(shots, "web-desktop.png"))
driver.quit()

# The timelapse's images over HTTP are the video's as they are stored, each
# as ffmpeg copies it out of the file; so are a clip's.
timelapse = get_json("timelapse.json")
frames, name = timelapse["frames"], timelapse["file"]
assert frames == len(timelapse["times"]) >= 20 and timelapse["night"] == get_json("status.json")["night"], timelapse
extracted = os.path.join(work, "extracted")
os.mkdir(extracted)
shutil.copy(os.path.join(work, "img", name), extracted)
subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(extracted, name), "-c", "copy", "-f", "image2",
                os.path.join(extracted, "%d.jpg")], check=True, stdin=subprocess.DEVNULL)
for n in sorted({0, 1, 2, frames // 2, frames - 2, frames - 1}):
    assert urllib.request.urlopen(site + "timelapse/%d.jpg" % n).read() == \
        open(os.path.join(extracted, "%d.jpg" % (n + 1)), "rb").read(), "timelapse image %d" % n
clip = next(e["clip"] for e in get_json("events.json") if e["clip"])  # one in place, with its JSON
clip_frames = len(get_json("clips/%s.json" % clip)["frames"])
subprocess.run(["ffmpeg", "-v", "error", "-i", os.path.join(work, "clips", clip + ".avi"), "-c", "copy", "-f",
                "image2", os.path.join(extracted, "clip-%d.jpg")], check=True, stdin=subprocess.DEVNULL)
for n in sorted({0, 1, clip_frames - 1}):
    assert urllib.request.urlopen(site + "clips/%s/%d.jpg" % (clip, n)).read() == \
        open(os.path.join(extracted, "clip-%d.jpg" % (n + 1)), "rb").read(), "clip image %d" % n

# An earlier night, planted in the folder, is listed among the nights.
img = os.path.join(work, "img")
tonight = timelapse["night"]
for product in sorted(os.listdir(img), key=lambda n: not n.endswith(".json")):  # an index before its video
    if re.fullmatch(r"(keogram|startrail|timelapse)-%s\.(png|json|jpg|mkv)" % tonight, product):
        shutil.copy(os.path.join(img, product), os.path.join(img, product.replace(tonight, "2026-01-02")))
deadline = time.time() + 60
while "2026-01-02" not in [n["night"] for n in get_json("nights.json")]:
    assert time.time() < deadline, "a night planted in the folder is never listed"
    time.sleep(0.2)
planted = get_json("timelapse.json?night=2026-01-02")["frames"]

# A phone: nothing wider than its screen, bars tall enough to tap; the earlier night opens in the same page.
driver, wait, script = browser(390, 844, True)
driver.get(site)
wait.until(lambda d: loaded(script, "frame") and script(player_frame) >= 0 and
           script("return document.querySelectorAll('#timeline span').length >= 2 && document.querySelector('#nights [data-night=\"2026-01-02\"]') !== null"))
assert script("return [innerWidth, document.documentElement.scrollWidth]") == [390, 390], \
    script("return [innerWidth, document.documentElement.scrollWidth]")
assert script("return Math.min(...[...document.querySelectorAll('#timeline span')].map((s) => s.getBoundingClientRect().height))") >= 24
driver.save_screenshot(os.path.join(shots, "web-phone.png"))
script("nightBox.scrollIntoView()")
driver.save_screenshot(os.path.join(shots, "web-phone-night.png"))
script("document.querySelector('#nights [data-night=\"2026-01-02\"]').click()")
wait.until(lambda d: driver.current_url.endswith("?night=2026-01-02") and loaded(script, "keogram") and
           "keogram-2026-01-02" in script("return keogram.src") and
           script("return player.src").endswith("?night=2026-01-02") and script(player_frame) == planted - 1)
assert script("return nightTitle.textContent") == "the night of 2026-01-02"
assert script("return [innerWidth, document.documentElement.scrollWidth]") == [390, 390]
driver.quit()


def answer(method, path, headers={}, timeout=10):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    connection.request(method, path, headers=headers)
    response = connection.getresponse()
    return response, response.read()


def request(method, path, headers={}, timeout=10):
    response, body = answer(method, path, headers, timeout)
    return response.status, body


# What the view publishes of the running tool: the latest tick with the
# snapshot and the event last seen, the ticks' history, the gallery with each
# trail's times, when a pixel of the trail rose; the camera's image never
# cached; a method it does not serve answered with those it does.
status = json.loads(request("GET", "/status.json")[1])
assert {"tick", "freq", "frameCounter", "diff", "trackCounter", "save", "saveTimeout", "uptimeSeconds",
        "time", "device", "lastSnapshot", "lastEvent", "edit"} <= set(status) and status["device"] == "demo", status
assert set(status["lastSnapshot"]) == {"name", "time", "bytes", "start", "end", "timeMap"}, status
history = json.loads(request("GET", "/history.json")[1])
assert len(history) >= 2 and all(len(p) == 3 and all(isinstance(v, int) for v in p) for p in history), history
gallery = json.loads(request("GET", "/snapshots.json")[1])
assert status["lastSnapshot"]["name"] in [g["name"] for g in gallery] and all(g["start"].endswith("Z") for g in gallery), gallery
assert set(json.loads(request("GET", "/trail-time?x=5&y=5")[1])) == {"seconds", "time"}
assert answer("GET", "/frame.jpg")[0].getheader("Cache-Control") == "no-cache"  # asked again with its tag
assert answer("POST", "/status.json")[0].getheader("Allow") == "GET, HEAD"
assert answer("HEAD", "/snapshots/1.jpg")[1] == b""


# Hostile requests, each refused with a short plain answer: other methods,
# other files, links and FIFOs among the snapshots, other host names (DNS rebinding).
secret = os.path.join(work, "secret")
open(secret, "w").write("not a snapshot")
os.symlink("/etc/hostname", os.path.join(img, "99.jpg"))
os.link(secret, os.path.join(img, "7.jpg"))
os.mkfifo(os.path.join(img, "9.jpg"))
if os.geteuid() == 0:  # a file of another user
    open(os.path.join(img, "8.jpg"), "w").write("foreign")
    os.chown(os.path.join(img, "8.jpg"), 65534, 65534)
for method, path, headers, expected in [
        ("POST", "/status.json", {}, 405), ("PUT", "/snapshots/1.jpg", {}, 405), ("DELETE", "/", {}, 405),
        ("OPTIONS", "/", {}, 405), ("GET", "/snapshots/../out", {}, 404), ("GET", "/snapshots/..%2Fout", {}, 404),
        ("GET", "/snapshots/%2e%2e%2fout", {}, 404), ("GET", "/snapshots/99.jpg", {}, 404),
        ("GET", "/snapshots/7.jpg", {}, 404), ("GET", "/snapshots/8.jpg", {}, 404),
        ("GET", "/snapshots/9.jpg", {}, 404), ("GET", "/snapshots/", {}, 404),
        ("GET", "/snapshots/1.jpg%00.txt", {}, 404), ("GET", "/img/1.jpg", {}, 404), ("GET", "/out", {}, 404),
        ("GET", "/snapshots/1-secret.jpg", {}, 404), ("GET", "/clips/../out", {}, 404),
        ("GET", "/products/../out", {}, 404), ("GET", "/products/timelapse-2026-01-01.png", {}, 404),
        ("GET", "/clips/20260101-000000000.avi", {}, 404), ("GET", "/events/1.jpg", {}, 404),
        ("GET", "/trail-time?x=-1&y=5", {}, 404), ("GET", "/trail-time?x=1e9&y=5", {}, 404),
        ("GET", "/status.json", {"Host": "attacker.example"}, 403),
        ("POST", "/segments/exclude?file=%s&excluded=0" % first_segment, {}, 403),
        ("POST", "/segments/exclude?file=%s&excluded=0" % first_segment, {"Origin": "http://attacker.example"}, 403),
        # A page served under another name that resolves here (DNS rebinding) sends that name as its host and origin.
        ("POST", "/segments/exclude?file=%s&excluded=0" % first_segment,
         {"Host": "evil.example:%d" % port, "Origin": "http://evil.example:%d" % port}, 403),
        ("GET", "/status.json", {"Host": "127.0.0.1.attacker.example:%d" % port}, 403),
        # Stored images: a malformed number or night is refused, one past the end or of no such night is not found.
        ("GET", "/timelapse/x.jpg", {}, 400), ("GET", "/timelapse/-1.jpg", {}, 400), ("GET", "/timelapse/1.png", {}, 400),
        ("GET", "/timelapse/%2e%2e/out", {}, 400), ("GET", "/timelapse/0.jpg?night=..%2F..%2Fetc", {}, 400),
        ("GET", "/timelapse.json?night=2026-01-02%2F..", {}, 400), ("GET", "/timelapse/0.jpg?night=2020-01-01", {}, 404),
        ("GET", "/timelapse.json?night=2020-01-01", {}, 404), ("GET", "/timelapse/1234567890.jpg", {}, 400),
        ("GET", "/timelapse/%d.jpg?night=2026-01-02" % planted, {}, 404), ("GET", "/clips/%s/x.jpg" % clip, {}, 400),
        ("GET", "/clips/%s/99999.jpg" % clip, {}, 404), ("GET", "/clips/../out/1.jpg", {}, 404),
        ("GET", "/clips/%2e%2e%2fimg/1.jpg", {}, 404)]:
    status, body = request(method, path, headers)
    assert status == expected, "%s %s %s: %d, expected %d" % (method, path[:40], headers, status, expected)
    assert len(body) < 100 and b"<" not in body, "error bodies are plain and short: %r" % body[:100]
assert request("GET", "/timelapse/%d.jpg?night=2026-01-02" % (planted - 1))[0] == 200
# A page may point its images at 70 nights, one after another: the view forgets the
# nights it looked for, and goes on answering.
for day in range(70):
    night = (datetime.date(2020, 1, 1) + datetime.timedelta(days=day)).isoformat()
    assert request("GET", "/timelapse.json?night=" + night)[0] == 404, night
assert request("GET", "/timelapse/%d.jpg?night=2026-01-02" % (planted - 1))[0] == 200
# Tampered indexes are no index: times out of any calendar, a place whose end overflows,
# more images than a night can hold (which would tie up the serving thread).
shutil.copy(os.path.join(img, "timelapse-2026-01-02.mkv"), os.path.join(img, "timelapse-2026-01-03.mkv"))
lots = 150001
for case, (times, frames) in enumerate([([-2**63], [[0, 10]]), ([2**63 - 1], [[0, 10]]), ([1767225600000], [[2**63 - 1, 10]]),
                                        ([1767225600000], [[10, 2**63 - 1]]), ([1767225600000] * lots, [[0, 10]] * lots)]):
    with open(os.path.join(img, "timelapse-2026-01-03.json.tmp"), "w") as index:  # each of its own size
        json.dump({"fps": 10 ** case, "times": times, "frames": frames}, index)
    os.rename(os.path.join(img, "timelapse-2026-01-03.json.tmp"), os.path.join(img, "timelapse-2026-01-03.json"))
    for path in ["/timelapse.json?night=2026-01-03", "/timelapse/0.jpg?night=2026-01-03"]:
        status, body = request("GET", path)
        assert status == 404, (path, times[0], frames[0], status, body[:200])
assert request("GET", "/status.json")[0] == 200
# Pictures the client has are not sent again: stored images are kept for good, files and
# the tick's pictures are asked for with their tags.
for path in ["/timelapse/0.jpg?night=2026-01-02", "/products/keogram-2026-01-02.png", "/clips/%s/0.jpg" % clip]:
    response, body = answer("GET", path)
    tag = response.getheader("ETag")
    assert response.status == 200 and tag and body, path
    for held in [tag, '"other", ' + tag, "W/" + tag, "*"]:  # one tag, a list, a weak one, any
        response, body = answer("GET", path, {"If-None-Match": held})
        assert response.status == 304 and body == b"" and response.getheader("ETag") == tag, (path, held, response.status)
    assert answer("GET", path, {"If-None-Match": '"other"'})[0].status == 200
assert "immutable" in answer("GET", "/timelapse/0.jpg")[0].getheader("Cache-Control")
for attempt in range(10):  # a tick between the two requests changes the picture
    response, _ = answer("GET", "/trail.jpg")
    again, _ = answer("GET", "/trail.jpg", {"If-None-Match": response.getheader("ETag")})
    if again.status == 304:
        break
    assert again.status == 200 and again.getheader("ETag") != response.getheader("ETag")
assert again.status == 304, "the tick's picture is sent again unchanged"
for host in ["localhost:%d" % port, "127.0.0.1:%d" % port, "LOCALHOST"]:
    assert request("GET", "/status.json", {"Host": host})[0] == 200, host
assert request("GET", "/snapshots/1.jpg")[0] == 200 and request("HEAD", "/trail.jpg")[0] == 200
products = json.loads(request("GET", "/products.json")[1])
assert {p["kind"] for p in products} == {"keogram", "timelapse", "startrail"}, products
for path in ["/snapshots/1-time.jpg", "/snapshots/1.json", "/time-scale.png", "/trail-time?x=5&y=5", "/keogram.png",
             "/products/" + products[0]["name"], "/products/" + products[1]["name"],
             "/" + json.loads(request("GET", "/events.json")[1])[0]["thumbnail"]]:
    assert request("GET", path)[0] == 200, path
# The last event has its own fields: its time, and its clip once it has one.
last_event = json.loads(request("GET", "/status.json")[1])["lastEvent"]
assert set(last_event) == {"time", "clip"} and last_event["time"].endswith("Z"), last_event
# Requests too large for a connection's memory are refused whole.
assert request("GET", "/" + "a" * 40000)[0] == 414
assert request("GET", "/", {"X-Big": "b" * 40000})[0] == 431


def header_flood():
    """Header lines without end: refused once a connection's memory is full."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        try:
            s.sendall(b"GET / HTTP/1.1\r\nHost: localhost\r\n")
            for _ in range(20000):  # 2 MB
                s.sendall(b"X-Pad: " + b"p" * 100 + b"\r\n")
        except OSError:
            pass  # the server closed the connection: what it answered is still there
        return s.recv(64)


# Memory stays bounded: floods of header lines and a multipart range of 1200
# parts on a snapshot (answered with the file, once) leave the peak where it was.
size = os.path.getsize(os.path.join(img, "1.jpg"))
peak_kb = lambda: int(re.search(r"VmHWM:\s+(\d+)", open("/proc/%d/status" % process.pid).read()).group(1))
before = peak_kb()
for _ in range(20):
    assert header_flood().startswith(b"HTTP/1.1 431"), "header lines without end"
    status, body = request("GET", "/snapshots/1.jpg", {"Range": "bytes=" + ",".join(["0-"] * 1200)})
    assert status == 200 and len(body) == size, (status, len(body), size)
assert peak_kb() - before < 30000, "peak memory grew from %d to %d kB" % (before, peak_kb())

# Eight clients sending their request a byte every half second take nobody's
# place, and are cut off within seconds.
slow_sockets = [socket.create_connection(("127.0.0.1", port), timeout=60) for _ in range(8)]
cut_off = []


def trickle(s):
    started = time.time()
    try:  # sending fails, or the answer is empty, once the server has closed the connection
        for byte in b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + b"s" * 100:
            s.send(bytes([byte]))
            time.sleep(0.5)
        s.recv(100)
    except OSError:
        pass
    cut_off.append(time.time() - started)


trickling = [threading.Thread(target=trickle, args=(s,)) for s in slow_sockets]
[t.start() for t in trickling]
time.sleep(1)
for _ in range(5):
    assert request("GET", "/status.json", timeout=3)[0] == 200, "answered while slow clients trickle"
[t.join() for t in trickling]
assert max(cut_off) < 20, "slow clients were cut off after %s s" % cut_off

# A snapshot tidied away by hand (or by retention) leaves the gallery within a minute of ticks.
listed = lambda: [entry["name"] for entry in json.loads(request("GET", "/snapshots.json")[1])]
assert "1.jpg" in listed()
for name in os.listdir(os.path.join(work, "img")):
    if re.fullmatch(r"1(\.jpg|\.json|-time\.jpg|-time\.tiff)", name):
        os.remove(os.path.join(work, "img", name))
deadline = time.time() + 60
while "1.jpg" in listed():
    assert time.time() < deadline, "a deleted snapshot stays in the gallery"
    time.sleep(0.2)
# Listed again, the gallery and the products hold only what is served: no
# link, no file of another user or with another name.
assert not {"7.jpg", "8.jpg", "9.jpg", "99.jpg"} & set(listed()), listed()
os.symlink("/etc/hostname", os.path.join(img, "keogram-2020-01-01.png"))
open(os.path.join(img, "keogram-2020-01-02.png"), "w").write("a keogram")
products = lambda: [p["name"] for p in json.loads(request("GET", "/products.json")[1])]
deadline = time.time() + 60
while "keogram-2020-01-02.png" not in products():
    assert time.time() < deadline, "a product never listed"
    time.sleep(0.2)
assert "keogram-2020-01-01.png" not in products(), products()

# A second instance on the same port is refused, in one line; one without
# --http-edit changes nothing, whoever asks.
other = tempfile.mkdtemp()
second = subprocess.run([tool, "--demo", "--headless", "--http", "127.0.0.1:%d" % port], cwd=other,
                        stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
assert second.returncode == 1 and second.stdout == b"" and second.stderr.count(b"\n") == 1, second
viewer = subprocess.Popen([tool, "--demo", "--headless", "--http", "127.0.0.1:0", "--segments", "30"], cwd=other,
                          stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=open(other + "/err", "w"))
atexit.register(viewer.kill)
while not (found := re.search(r"web view at http://127\.0\.0\.1:(\d+)/", open(other + "/err").read())):
    time.sleep(0.1)
own = "127.0.0.1:" + found.group(1)
connection = http.client.HTTPConnection(own, timeout=10)
connection.request("POST", "/segments/exclude?file=%s&excluded=1" % first_segment,
                   headers={"Host": own, "Origin": "http://" + own})
assert connection.getresponse().status == 405, "edited without --http-edit"
viewer.terminate()


# 20 clients polling as fast as they can for 10 seconds, each request on a new
# connection: each is answered, with the image or status, or with 429 once
# the address has used its budget. (What they cost the loop is measured by
# bench/web_load.sh.)
deadline, served = time.time() + 10, []


def client():
    while time.time() < deadline:
        served.extend(request("GET", path)[0] for path in ["/trail.jpg", "/status.json"])


with ThreadPoolExecutor(20) as pool:
    clients = [pool.submit(client) for _ in range(20)]
[c.result() for c in clients]  # a client's failed request fails the check
failures = [status for status in served if status not in (200, 429)]
print("load: %d requests in 10 s, %d answered, %d over the budget, %d failed"
      % (len(served), served.count(200), served.count(429), len(failures)))
assert not failures and 200 <= served.count(200) <= 2500, (served.count(200), failures[:5])
process.terminate()
assert process.wait(timeout=30) == 0, "the tool did not end in order"
print("ok (web view)")
