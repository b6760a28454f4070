#!/usr/bin/env python3
"""Measures `z40k serve` on the loopback interface: the frame rate each viewer receives with 1 and 8
viewers at full size and at 1/4, and the API's answer times while stalled viewers and slow clients
crowd the server.

Usage: serve_load.py PATH_TO_Z40K [--seconds S] [--camera-fps F]. Prints one line per measurement.
"""
import argparse
import json
import os
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

HOST = "127.0.0.1"


def start(z40k, work, camera_fps):
    server = subprocess.Popen([z40k, "serve", "--port", "0", "--bus", "ideal", "--registry", os.path.join(work, "z40k.reg"),
                               "--drive-c", work, "--camera-fps", str(camera_fps)],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    port = int(server.stdout.readline().strip().rstrip("/").rsplit(":", 1)[-1])
    return server, port


def request(port, method, path, body=None, timeout=5.0):
    """One request on a fresh connection; returns (status, seconds) or (None, seconds) on no answer."""
    began = time.monotonic()
    data = b"" if body is None else body.encode()
    head = "%s %s HTTP/1.1\r\nHost: %s:%d\r\nConnection: close\r\n" % (method, path, HOST, port)
    if body is not None:
        head += "Content-Type: application/json\r\nContent-Length: %d\r\n" % len(data)
    try:
        with socket.create_connection((HOST, port), timeout=timeout) as s:
            s.sendall(head.encode() + b"\r\n" + data)
            answer = b""
            while b"\r\n" not in answer:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
            status = int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/") else None
    except OSError:
        status = None
    return status, time.monotonic() - began


class Viewer(threading.Thread):
    """Reads one picture stream and counts its parts."""

    def __init__(self, port, scale, stop):
        super().__init__(daemon=True)
        self.port, self.scale, self.stop, self.parts = port, scale, stop, 0

    def run(self):
        with socket.create_connection((HOST, self.port), timeout=5) as s:
            s.sendall(("GET /stream.mjpg?scale=%d HTTP/1.1\r\nHost: %s:%d\r\n\r\n"
                       % (self.scale, HOST, self.port)).encode())
            tail = b""
            while not self.stop.is_set():
                try:
                    chunk = s.recv(1 << 16)
                except OSError:
                    return
                if not chunk:
                    return
                data = tail + chunk
                self.parts += data.count(b"X-Frame-Number:")
                tail = data[-16:]


def frame_rates(port, seconds):
    for scale in (1, 4):
        for count in (1, 8):
            stop = threading.Event()
            viewers = [Viewer(port, scale, stop) for _ in range(count)]
            for v in viewers:
                v.start()
            time.sleep(1.5)  # every viewer in and past its first picture
            begin = [v.parts for v in viewers]
            time.sleep(seconds)
            rates = [(v.parts - b) / seconds for v, b in zip(viewers, begin)]
            stop.set()
            for v in viewers:
                v.join(timeout=5)
            print("scale 1/%d, %d viewer%s: %.1f frames/s per viewer (min %.1f, max %.1f)"
                  % (scale, count, "" if count == 1 else "s", statistics.mean(rates), min(rates), max(rates)))


def rss_kib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def crowd(port, stop, stalled=40, slow=40):
    """Stream viewers that never read, and clients that send a request a byte a second."""
    sockets = []
    for _ in range(stalled):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect((HOST, port))
        s.sendall(("GET /stream.mjpg?scale=1 HTTP/1.1\r\nHost: %s:%d\r\n\r\n" % (HOST, port)).encode())
        sockets.append(s)
    trickling = []
    for _ in range(slow):
        s = socket.create_connection((HOST, port))
        trickling.append(s)
    line = ("GET /api/stats HTTP/1.1\r\nHost: %s:%d\r\nX-Pad: " % (HOST, port)).encode() + b"a" * 64
    at = 0
    while not stop.is_set() and at < len(line):
        for s in trickling:
            try:
                s.send(line[at:at + 1])
            except OSError:
                pass
        at += 1
        stop.wait(1.0)
    for s in sockets + trickling:
        s.close()


def api_under_load(port, pid, seconds):
    before = rss_kib(pid)
    stop = threading.Event()
    crowder = threading.Thread(target=crowd, args=(port, stop), daemon=True)
    crowder.start()
    time.sleep(1.0)
    times, failures = [], 0
    end = time.monotonic() + seconds
    value = 700
    while time.monotonic() < end:
        for method, path, body in (("GET", "/api/stats", None),
                                   ("PUT", "/api/properties/exposure", '{"value": %d}' % value)):
            status, took = request(port, method, path, body)
            times.append(took)
            failures += status != 200
        value = 1400 - value
        time.sleep(0.1)
    peak = rss_kib(pid)
    stop.set()
    crowder.join(timeout=70)
    time.sleep(2.0)
    after = rss_kib(pid)
    times.sort()
    print("API under load: %d answers, median %.1f ms, 95th %.1f ms, max %.1f ms, %d not 200"
          % (len(times), 1000 * statistics.median(times), 1000 * times[int(len(times) * 0.95)],
             1000 * times[-1], failures))
    print("server VmRSS: %d MiB before, %d MiB under load, %d MiB after" % (before >> 10, peak >> 10, after >> 10))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("z40k")
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--camera-fps", type=float, default=15.0, help="the simulated camera's pace")
    options = parser.parse_args()
    work = tempfile.mkdtemp(prefix="z40k-load-")
    server, port = start(options.z40k, work, options.camera_fps)
    try:
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and request(port, "GET", "/api/stats")[0] != 200:
            time.sleep(0.1)
        frame_rates(port, options.seconds)
        api_under_load(port, server.pid, 2 * options.seconds)
    finally:
        server.send_signal(signal.SIGINT)
        try:
            server.wait(timeout=30)
        except subprocess.TimeoutExpired:
            server.kill()
            server.wait()


if __name__ == "__main__":
    main()
