#!/usr/bin/env bash
# What 20 polling web clients cost the capture loop: the demo sky at 20 times
# real time, its images merged per second alone and with 20 clients polling
# /trail.jpg and /status.json (a new connection per request) for 10 s, tool
# and clients on the same cores. Usage: bench/web_load.sh [TRAILCAM]
set -euo pipefail
tool=$(realpath "${1:-build/trailcam}")
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
"$tool" --demo --headless --http 127.0.0.1:0 --size 320x240 --demo-speed 20 </dev/null >out 2>err &
pid=$!
for _ in $(seq 100); do grep -q 'web view at' err && break; sleep 0.1; done
port=$(grep -o '127.0.0.1:[0-9]*' err | cut -d: -f2)
/usr/bin/python3 - "$port" <<'EOF'
import http.client, sys, time
from concurrent.futures import ThreadPoolExecutor

port = int(sys.argv[1])


def rate(seconds):
    """Images merged per second of wall time: each status line stands for 30."""
    before = open("out").read().count("freq=")
    time.sleep(seconds)
    return (open("out").read().count("freq=") - before) * 30 / seconds


def client(deadline, served):
    while time.time() < deadline:
        for path in ["/trail.jpg", "/status.json"]:
            connection = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
            connection.request("GET", path)
            response = connection.getresponse()
            response.read()
            served.append(response.status)


time.sleep(2)
alone = rate(5)
served, deadline = [], time.time() + 10
with ThreadPoolExecutor(20) as pool:
    clients = [pool.submit(client, deadline, served) for _ in range(20)]
    loaded = rate(9.5)
[c.result() for c in clients]
print("%d requests in 10 s, %d answered, %d over the budget (429); loop alone %.0f images/s, with 20 clients %.0f"
      % (len(served), served.count(200), served.count(429), alone, loaded))
print("loop with 20 clients: %.2f of its rate alone" % (loaded / alone))
EOF
