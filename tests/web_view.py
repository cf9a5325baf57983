#!/usr/bin/python3
"""The web view as its users meet it: a real browser, hostile requests and clients,
and 20 polling clients against a running tool. Usage: web_view.py TRAILCAM SCREENSHOT.png"""
import atexit, http.client, json, os, re, socket, subprocess, sys, tempfile, threading, time, urllib.request
from concurrent.futures import ThreadPoolExecutor
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait

tool, screenshot, work = os.path.realpath(sys.argv[1]), os.path.realpath(sys.argv[2]), tempfile.mkdtemp()
out, err = os.path.join(work, "out"), os.path.join(work, "err")
# The sky 20 times faster than real time reaches its first snapshot in seconds.
process = subprocess.Popen([tool, "--demo", "--headless", "--http", "127.0.0.1:0", "--size", "320x240",
                            "--demo-speed", "20", "--metadata", "--time-map", "--clips", "clips", "--keogram",
                            "--keogram-every", "1", "--timelapse", "--segments", "30", "--reject-flashes",
                            "--http-edit", "--sky-quality", "--quality-every", "1"], cwd=work, stdin=subprocess.DEVNULL, stdout=open(out, "w"),
                           stderr=open(err, "w"))
atexit.register(process.kill)  # also when a check fails
while not (found := re.search(r"web view at http://127\.0\.0\.1:(\d+)/", open(err).read())):
    time.sleep(0.1)  # the check's own timeout ends a tool that never says where it listens
port = int(found.group(1))

# A real browser: both images load, the fields change, the plot grows, a snapshot appears.
options = webdriver.ChromeOptions()
for flag in ["headless", "no-sandbox", "disable-gpu", "window-size=1000,1400", "user-data-dir=" + work + "/chromium"]:
    options.add_argument("--" + flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
atexit.register(driver.quit)
driver.get("http://127.0.0.1:%d/" % port)
wait, script = WebDriverWait(driver, 60, poll_frequency=0.2), driver.execute_script
wait.until(lambda d: script("return frame.naturalWidth > 0 && trail.naturalWidth > 0"))
state = "return [frameCounter.textContent, diffLine.getAttribute('points').split(' ').length]"
first = script(state)
WebDriverWait(driver, 5).until(lambda d: script(state)[0] != first[0] and script(state)[1] > first[1])
wait.until(lambda d: script("const i = document.querySelector('#gallery img');"
                            "return i !== null && i.complete && i.naturalWidth > 0"))
# The events with their thumbnails, the gallery with its times, the time under the pointer.
wait.until(lambda d: script("const i = document.querySelector('#events img');"
                            "return i !== null && i.complete && i.naturalWidth > 0"))
assert "UTC to" in script("return document.getElementById('gallery').textContent")
# The sky tonight: its stars, clear sky and background, with the times along the bottom.
wait.until(lambda d: script("return skyChart.style.display === '' && "
                            "starsLine.getAttribute('points').split(' ').length >= 2 && skyEnd.textContent.endsWith('UTC')"))
assert script("return document.getElementById('scale').style.display") == "flex"
webdriver.ActionChains(driver).move_to_element_with_offset(driver.find_element("id", "trail"), 5, 5).perform()
wait.until(lambda d: script("return trailTime.textContent").startswith(("rose at", "unchanged")))
# The night's segments: the timeline and the star trail; a click leaves the
# first segment out by hand (the page's own POST, with its Origin).
wait.until(lambda d: script("return document.querySelectorAll('#timeline span').length >= 2 && "
                            "startrail.complete && startrail.naturalWidth > 0"))
first_segment = json.loads(urllib.request.urlopen("http://127.0.0.1:%d/segments.json" % port).read())[0]["file"]
driver.find_element("css selector", "#timeline span").click()
wait.until(lambda d: json.loads(urllib.request.urlopen("http://127.0.0.1:%d/segments.json" % port).read())[0]
           .get("excluded") == "by hand")
wait.until(lambda d: script("return document.querySelector('#timeline span').className") == "out")
driver.save_screenshot(screenshot)
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
assert answer("GET", "/frame.jpg")[0].getheader("Cache-Control") == "no-store"
assert answer("POST", "/status.json")[0].getheader("Allow") == "GET, HEAD"
assert answer("HEAD", "/snapshots/1.jpg")[1] == b""


# Hostile requests, each refused with a short plain answer: other methods,
# other files, links and FIFOs among the snapshots, other host names (DNS rebinding).
img = os.path.join(work, "img")
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
        ("GET", "/status.json", {"Host": "127.0.0.1.attacker.example:%d" % port}, 403)]:
    status, body = request(method, path, headers)
    assert status == expected, "%s %s %s: %d, expected %d" % (method, path[:40], headers, status, expected)
    assert len(body) < 100 and b"<" not in body, "error bodies are plain and short: %r" % body[:100]
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
