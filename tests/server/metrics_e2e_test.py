#!/usr/bin/python3
"""The metrics endpoint of a running listener, read as Prometheus reads it.

Starts quellon on simulated hosts with a standing subscription per host, the
Kafka output into librdkafka's mock cluster (quellon-kafka-mock) and
[METRICS] on a loopback port, then checks with prometheus_client's own
parsers (Debian's python3-prometheus-client) that:
  - the text format and OpenMetrics both parse, and every metric the
    Grafana dashboard and the alert rules name is served;
  - the metrics move with the listener's state: a host that is down shows
    as failing, and once it is up, live with one reconnect; N events
    played raise the delivered counter by exactly N; Kafka with its brokers
    down fills its queue and shows blocked, then not;
  - a wrong token gets 401 and nothing else, and the token never reaches
    the log;
  - a hostile scraper (10 MB of request, 1,000 connections, a request never
    finished) does not change what a monitoring client is answered;
  - with METRICS.TLS=true the endpoint speaks HTTPS with the [SSL]
    certificate (SSL.SSLENABLED false: the clients' port stays plain);
  - promtool accepts the alert rules (when promtool is installed).
Arguments: the build folder and the source folder.
"""
import http.client
import os
import re
import shutil
import socket
import ssl
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

from prometheus_client.openmetrics.parser import \
    text_string_to_metric_families as openmetrics_families
from prometheus_client.parser import text_string_to_metric_families

BUILD, SOURCE = (os.path.abspath(p) for p in sys.argv[1:3])
TOKEN = "Zq9-metrics-SECRET"
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what, flush=True)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def scrape(port, token=TOKEN, accept=None):
    request = urllib.request.Request(f"http://127.0.0.1:{port}/metrics")
    if token is not None:
        request.add_header("Authorization", f"Bearer {token}")
    if accept:
        request.add_header("Accept", accept)
    try:
        with urllib.request.urlopen(request, timeout=10) as answer:
            return answer.status, answer.headers, answer.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode()


def samples(text):
    """{(name, frozenset(labels)): value} from the text format."""
    out = {}
    for family in text_string_to_metric_families(text):
        for s in family.samples:
            out[(s.name, frozenset(s.labels.items()))] = s.value
    return out


def value(text, name, **labels):
    return samples(text).get((name, frozenset(labels.items())))


def wait_for(port, what, predicate, timeout=60):
    deadline = time.time() + timeout
    text = ""
    while time.time() < deadline:
        status, _, text = scrape(port)
        if status == 200 and predicate(text):
            return text
        time.sleep(0.3)
    check(False, f"{what} (last scrape:\n{text[:3000]})")
    return text


def sim(store, *args):
    subprocess.run([os.path.join(BUILD, "quellon-sim"), "--store", store, *args], check=True,
                   stdout=subprocess.DEVNULL)


class Client:
    """A monitoring client on the line protocol."""

    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.buffer = b""

    def line(self):
        while b"\r\n" not in self.buffer:
            data = self.sock.recv(65536)
            if not data:
                raise EOFError
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        return line.decode(errors="replace")

    def command(self, text, until):
        self.sock.sendall(text.encode() + b"\r\n")
        lines = []
        while True:
            line = self.line()
            if line.startswith("NTEVENT") or line.startswith("CONNECTION_") or line == "." and not lines:
                continue
            lines.append(line)
            if until(line):
                return lines


def tls_scrape(work, processes):
    """The endpoint over HTTPS with the listener's certificate settings."""
    certs = os.path.join(work, "certs")
    subprocess.run([os.path.join(SOURCE, "scripts", "make-test-certs"), certs, "cert-pw"],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    listen_port, metrics_port = free_port(), free_port()
    config = os.path.join(work, "tls.ini")
    with open(config, "w") as f:
        f.write(f"""[LISTEN]
PORT={listen_port}
ADDRESS=127.0.0.1
[SSL]
SSLENABLED=false
SERVERCERTFILE={certs}/server.pem
SERVERCERTPASSWORD=cert-pw
DHFILE={certs}/dh.pem
CALIST={certs}/calist.pem
[LOCAL_AUTH]
USERNAME=monitor
PASSWORD=pw
[WMI]
PROVIDER=sim
SIMSTORE={os.path.join(work, "sim.db")}
[METRICS]
LISTEN=127.0.0.1:{metrics_port}
TLS=true
""")
    listener = subprocess.Popen([os.path.join(BUILD, "quellon"), "-x", "-c", config],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT)
    processes.append(listener)
    context = ssl.create_default_context(cafile=os.path.join(certs, "ca.pem"))
    body = None
    deadline = time.time() + 30
    while body is None and time.time() < deadline:
        try:
            with urllib.request.urlopen(f"https://localhost:{metrics_port}/metrics",
                                        context=context, timeout=10) as answer:
                body = answer.read().decode()
        except (OSError, urllib.error.URLError):
            time.sleep(0.3)
    check(body is not None and "quellon_build_info" in body, "a scrape over HTTPS")
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{metrics_port}/metrics", timeout=5):
            check(False, "plain HTTP on the HTTPS endpoint was answered")
    except (OSError, urllib.error.URLError, http.client.HTTPException):
        pass
    client = Client(listen_port)
    check(client.line().startswith("200 "), "the clients' port stays plain TCP")
    client.sock.close()
    listener.stdin.write(b"q\n")
    listener.stdin.flush()
    listener.communicate(timeout=60)


def main():
    work = tempfile.mkdtemp(prefix="quellon-metrics-")
    processes = []
    try:
        store = os.path.join(work, "sim.db")
        sim(store, "host", "add", "127.0.0.2")
        sim(store, "host", "add", "127.0.0.4", "--down")
        sim(store, "import", "127.0.0.2", os.path.join(SOURCE, "examples", "evtx",
                                                         "Application_no_crc32.evtx"))
        mock = subprocess.Popen([os.path.join(BUILD, "quellon-kafka-mock"), "--brokers", "1",
                                 "--partitions", "1", "quellon-events", "quellon-notices"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        processes.append(mock)
        bootstraps = mock.stdout.readline().split()[1]

        listen_port, metrics_port = free_port(), free_port()
        config = os.path.join(work, "q.ini")
        with open(config, "w") as f:
            f.write(f"""[LISTEN]
PORT={listen_port}
ADDRESS=127.0.0.1
MAXCONNECTIONS=3
[Logger]
filename={os.path.join(work, 'q.log')}
level=debug
[LOCAL_AUTH]
USERNAME=monitor
PASSWORD=pw
[OTHERS]
MinReconnectInterval=1
MaxReconnectInterval=2
EVENTWAITPERCONNECTION=200
[PERFORMANCE]
WT_FOR_WQ=1
[WMI]
PROVIDER=sim
SIMSTORE={store}
[KAFKA]
BROKERS={bootstraps}
QUEUEBYTES=1048576
[METRICS]
LISTEN=127.0.0.1:{metrics_port}
TOKEN={TOKEN}
[SUBSCRIPTIONS]
live=127.0.0.2 * *
down=127.0.0.4 System *
""")
        listener = subprocess.Popen([os.path.join(BUILD, "quellon"), "-x", "-c", config],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.STDOUT, cwd=work)
        processes.append(listener)
        deadline = time.time() + 30
        while time.time() < deadline:
            try:
                socket.create_connection(("127.0.0.1", metrics_port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.2)

        # Both formats parse, and every name the dashboard and the alerts use
        # is served.
        status, headers, text = scrape(metrics_port)
        check(status == 200, f"scrape answered {status}")
        check(headers["Content-Type"].startswith("text/plain; version=0.0.4"), "text content type")
        families = list(text_string_to_metric_families(text))
        check(len(families) > 20, "the text format parses into the families")
        status, headers, open_text = scrape(metrics_port,
                                            accept="application/openmetrics-text; version=1.0.0")
        check(headers["Content-Type"].startswith("application/openmetrics-text"),
              "OpenMetrics content type")
        check(len(list(openmetrics_families(open_text))) == len(families),
              "OpenMetrics parses into the same families")
        served = set(re.findall(r"^(quellon_[a-z_]+)", text, re.M))
        served |= set(re.findall(r"^# TYPE (quellon_[a-z_]+)", text, re.M))
        named = set()
        with open(os.path.join(SOURCE, "examples", "grafana", "quellon.json")) as f:
            named |= set(re.findall(r"quellon_[a-z_]+", f.read()))
        with open(os.path.join(SOURCE, "examples", "prometheus", "quellon-alerts.yml")) as f:
            named |= set(re.findall(r"quellon_[a-z_]+", f.read()))
        check(named and named <= served, f"dashboard and alerts name unserved metrics: {named - served}")
        check(value(text, "quellon_build_info", version="5.5", build_date=re.search(
            r'build_date="([^"]+)"', text).group(1)) == 1, "quellon_build_info")

        # A host that is down fails; once up it is live with one reconnect.
        down = dict(host="127.0.0.4", category="System", severity="*")
        wait_for(metrics_port, "the down host shows failing",
                 lambda t: value(t, "quellon_subscription_state", state="failing", **down) == 1
                 and (value(t, "quellon_subscription_last_error_timestamp_seconds", **down) or 0) > 0)
        sim(store, "host", "up", "127.0.0.4")
        wait_for(metrics_port, "the host that came back is live with one reconnect",
                 lambda t: value(t, "quellon_subscription_state", state="live", **down) == 1
                 and value(t, "quellon_subscription_reconnects_total", **down) == 1)

        # N events played raise the delivered counter by exactly N.
        live = dict(host="127.0.0.2", category="*", severity="*")
        text = wait_for(metrics_port, "the live host is live",
                        lambda t: value(t, "quellon_subscription_state", state="live", **live) == 1)
        before = value(text, "quellon_subscription_events_delivered_total", **live)
        total_before = value(text, "quellon_events_delivered_total")
        for i in range(7):
            sim(store, "emit", "127.0.0.2", "--log", "Application", "--type", "4", "--source",
                "metrics-test", "--code", str(100 + i), "--insert", f"event {i}")
        text = wait_for(metrics_port, "7 events delivered",
                        lambda t: value(t, "quellon_subscription_events_delivered_total", **live)
                        == before + 7)
        time.sleep(1.5)
        _, _, text = scrape(metrics_port)
        check(value(text, "quellon_subscription_events_delivered_total", **live) == before + 7,
              "exactly 7 more delivered")
        check(value(text, "quellon_events_delivered_total") == total_before + 7,
              "the process' total moved by 7")
        check(value(text, "quellon_output_acknowledged_total", output="kafka") is not None,
              "the Kafka output is listed")

        # Kafka with its broker down fills its queue: blocked, then free.
        mock.stdin.write("down 1\n")
        mock.stdin.flush()
        player = subprocess.Popen([os.path.join(BUILD, "quellon-sim"), "--store", store, "play",
                                   "127.0.0.2", "--rate", "20000", "--count", "40000"],
                                  stdout=subprocess.DEVNULL)
        processes.append(player)
        wait_for(metrics_port, "the Kafka output shows blocked",
                 lambda t: value(t, "quellon_output_blocked", output="kafka") == 1
                 and (value(t, "quellon_output_queued_bytes", output="kafka") or 0) > 0
                 and value(t, "quellon_subscription_state", state="blocked", **live) == 1, 90)
        mock.stdin.write("up 1\n")
        mock.stdin.flush()
        wait_for(metrics_port, "the Kafka output is free again",
                 lambda t: value(t, "quellon_output_blocked", output="kafka") == 0, 120)
        player.wait(timeout=120)

        # A wrong token: 401 and nothing else.
        status, headers, body = scrape(metrics_port, token="wrong")
        check(status == 401 and body == "" and headers.get("Content-Length") == "0",
              f"wrong token answered {status} {body!r}")
        status, _, body = scrape(metrics_port, token=None)
        check(status == 401 and body == "", "no token: 401")

        # A hostile scraper does not change what a client is answered.
        client = Client(listen_port)
        client.line()
        check(client.command("LOGIN monitor pw", lambda l: l.startswith(("OK", "ERROR")))[-1]
              .startswith("OK authentication"), "login")
        listing = client.command("LIST", lambda l: l == ".")
        hostile = []
        big = socket.create_connection(("127.0.0.1", metrics_port))
        big.setblocking(False)
        hostile.append(big)
        stalled = socket.create_connection(("127.0.0.1", metrics_port))
        stalled.sendall(b"GET /metrics HTTP/1.1\r\n")
        hostile.append(stalled)
        for _ in range(1000):
            try:
                hostile.append(socket.create_connection(("127.0.0.1", metrics_port), timeout=2))
            except OSError:
                pass
        sent = 0
        chunk = b"X-Filler: " + b"y" * 65536
        while sent < 10 * 1024 * 1024:
            try:
                sent += big.send(chunk)
            except (BlockingIOError, ConnectionError):
                break
        started = time.time()
        check(client.command("NOOP", lambda l: l.startswith(("OK", "ERROR"))) == ["OK noop"],
              "NOOP under a hostile scraper")
        check(client.command("LIST", lambda l: l == ".")[0] == listing[0],
              "LIST under a hostile scraper")
        check(time.time() - started < 5, "the client was answered while the scraper held on")
        for s in hostile:
            s.close()
        status, _, _ = scrape(metrics_port)
        check(status == 200, "a scrape after the hostile one")
        client.sock.close()

        # The token never reaches the log or the console.
        listener.stdin.write(b"q\n")
        listener.stdin.flush()
        console, _ = listener.communicate(timeout=60)
        with open(os.path.join(work, "q.log"), errors="replace") as f:
            log = f.read()
        check(TOKEN not in log and TOKEN not in console.decode(errors="replace"),
              "the token is not in the log or on the console")
        check("Metrics endpoint listening on 127.0.0.1" in log, "the endpoint's start is logged")

        tls_scrape(work, processes)

        promtool = shutil.which("promtool")
        if promtool:
            result = subprocess.run([promtool, "check", "rules",
                                     os.path.join(SOURCE, "examples", "prometheus",
                                                  "quellon-alerts.yml")],
                                    capture_output=True, text=True)
            check(result.returncode == 0, "promtool check rules: " + result.stdout + result.stderr)
        else:
            print("promtool not installed: the alert rules were not checked")
    finally:
        for p in processes:
            if p.poll() is None:
                p.kill()
                p.wait()
        shutil.rmtree(work, ignore_errors=True)
    if failures:
        print(f"{len(failures)} failure(s)")
        sys.exit(1)
    print("metrics endpoint: all checks passed")


main()
