#!/usr/bin/env python3
"""quellon.exe of the Windows build under Wine, driven from Linux.

Three ways a Windows operator runs it, each over a real loopback socket
(Wine's processes share this machine's network stack):

- the service: installed with -i and an account, started and stopped by
  Wine's service control manager, removed with -u;
- the console listener on the system's own WMI (WMI.PROVIDER=wmi): Wine's
  WMI has no Win32_NTLogEvent rows and refuses event notification queries,
  so a replay ends empty and a live subscription fails and is retried with
  a growing delay;
- the console listener on simulated hosts (a store quellon-sim.exe writes);
- the listener with TLS on, reached by the openssl command-line client;
- the Kafka output: a standing subscription on a simulated host producing
  into librdkafka's mock cluster on Linux (quellon-kafka-mock, a Linux
  program), read back with kcat.

Run by ctest in the Windows build only (scripts/test-windows), with
QUELLON_BUILD_DIR naming build-windows and WINEPREFIX the run's prefix;
QUELLON_WINE names the wine program when it is not wine64 on the PATH, and
QUELLON_KAFKA_MOCK the Linux quellon-kafka-mock when it is not
build-windows/linux/quellon-kafka-mock (where scripts/test-windows builds it).
"""

import json

import os
import queue
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

BUILD_DIR = os.environ.get("QUELLON_BUILD_DIR", "")
SOURCE_DIR = os.environ.get("QUELLON_SOURCE_DIR", "")
WINE = os.environ.get("QUELLON_WINE") or shutil.which("wine64") or shutil.which("wine") or \
    "/usr/lib/wine/wine64"

# Wine starts a program in a second or two; a loaded machine takes longer.
START_SECONDS = 90
USER, PASSWORD = "monitor", "wine-test-password"


def windows_path(path):
    """The Wine name of a Linux path (drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wine(*args, timeout=120):
    """Runs a Windows program to its end; returns (exit code, output). The
    output goes through a file, not a pipe: Wine's system processes, started
    by whichever Wine program comes first, inherit its standard output and
    would hold a pipe open after the program ended. A run that fails without
    a word may be a start Wine did not make (scripts/wine-run): it is tried
    twice more, so only a program that fails silently every time (sc query
    of a service that does not exist) comes back empty."""
    for attempt in range(3):
        with tempfile.TemporaryFile() as out:
            done = subprocess.run([WINE, *args], stdin=subprocess.DEVNULL, stdout=out,
                                  stderr=subprocess.STDOUT, timeout=timeout)
            out.seek(0)
            text = out.read().decode("utf-8", "replace")
        if done.returncode == 0 or text.strip():
            break
        time.sleep(1)
    return done.returncode, text


def end_at_end_of_input(process):
    """Ends a program that stops at the end of its standard input: closes
    it, and kills the program if it has not ended within 30 s."""
    process.stdin.close()
    try:
        process.wait(timeout=30)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


class LineClient:
    """One client connection speaking the line protocol."""

    def __init__(self, port, timeout=START_SECONDS):
        deadline = time.monotonic() + timeout
        while True:
            try:
                self.sock = socket.create_connection(("127.0.0.1", port), timeout=5)
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.5)
        self.buffer = b""
        self.lines = []  # every line received, in order

    def send(self, line):
        self.sock.sendall(line.encode() + b"\r\n")

    def read_line(self, timeout=30):
        """The next line without its CR LF; None when the server closed."""
        deadline = time.monotonic() + timeout
        while b"\r\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError("no line within %d s; lines so far: %r" % (timeout, self.lines))
            self.sock.settimeout(left)
            try:
                data = self.sock.recv(4096)
            except socket.timeout:
                continue
            if not data:
                return None
            self.buffer += data
        line, self.buffer = self.buffer.split(b"\r\n", 1)
        text = line.decode("utf-8", "replace")
        self.lines.append(text)
        return text

    def expect(self, pattern, timeout=30):
        """Reads lines until one matches pattern (a regular expression);
        returns that line."""
        deadline = time.monotonic() + timeout
        while True:
            line = self.read_line(max(1, deadline - time.monotonic()))
            if line is None:
                raise AssertionError("closed before %r; lines: %r" % (pattern, self.lines))
            if re.search(pattern, line):
                return line

    def close(self):
        self.sock.close()


def write_ini(folder, port, extra=""):
    """quellon.ini beside the program: loopback port, a DEBUG log, the login."""
    path = os.path.join(folder, "quellon.ini")
    with open(path, "w") as f:
        f.write("[LISTEN]\nADDRESS=127.0.0.1\nPORT=%d\n" % port)
        f.write("[Logger]\nfilename=quellon.log\nlevel=debug\n")
        f.write("[LOCAL_AUTH]\nUSERNAME=%s\nPASSWORD=%s\n" % (USER, PASSWORD))
        f.write(extra)
    return path


class QuellonFolder:
    """A folder holding a copy of quellon.exe and its quellon.ini, as the
    Windows zip unpacks."""

    def __init__(self, test):
        self.path = tempfile.mkdtemp(prefix="quellon-wine-")
        test.addCleanup(shutil.rmtree, self.path, True)
        shutil.copy(os.path.join(BUILD_DIR, "quellon.exe"), self.path)
        self.exe = os.path.join(self.path, "quellon.exe")

    def log(self):
        try:
            with open(os.path.join(self.path, "quellon.log"), errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""


class ConsoleQuellon:
    """quellon.exe -x under Wine; ends on "q" at its standard input."""

    def __init__(self, folder, ini):
        self.out_path = os.path.join(folder.path, "console.out")
        self.out = open(self.out_path, "wb")
        self.process = subprocess.Popen([WINE, folder.exe, "-x", "-c", windows_path(ini)],
                                        cwd=folder.path, stdin=subprocess.PIPE, stdout=self.out,
                                        stderr=subprocess.STDOUT)

    def output(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def stop(self):
        if self.process.poll() is None:
            try:
                self.process.stdin.write(b"q\n")
                self.process.stdin.close()
                self.process.wait(timeout=60)
            except (OSError, subprocess.TimeoutExpired):
                self.process.kill()
                self.process.wait()
        self.out.close()


def login(client):
    client.expect(r"^200 .* Ready To Authenticate$")
    client.send("LOGIN %s %s" % (USER, PASSWORD))
    client.expect(r"^OK authentication successful")


class ServiceUnderScm(unittest.TestCase):
    """-i, a start and a stop by the service control manager, -u."""

    def setUp(self):
        # Unless its server was started persistent (wineserver -p, as
        # scripts/test-windows does), Wine ends the processes of services
        # within seconds once no ordinary Wine program runs; Windows keeps
        # them. A command interpreter waiting on its input stays for the
        # length of the test.
        self.keeper = subprocess.Popen([WINE, "cmd.exe"], stdin=subprocess.PIPE,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(self.end_keeper)
        self.folder = QuellonFolder(self)
        self.port = free_port()
        self.ini = write_ini(self.folder.path, self.port, "[WMI]\nPROVIDER=wmi\n")
        # The Wine user is the Linux user; -i wants ".\user" or "domain\user".
        code, out = wine("cmd.exe", "/c", "echo %USERNAME%")
        self.account = ".\\" + out.strip().splitlines()[-1]

    def end_keeper(self):
        end_at_end_of_input(self.keeper)

    def state(self):
        code, out = wine("sc.exe", "query", "quellon")
        match = re.search(r"STATE\s*:\s*(\d+)", out)
        return int(match.group(1)) if match else None

    def wait_for_state(self, wanted, seconds=START_SECONDS):
        """Polls sc query until the service reports state wanted. In a new
        prefix Wine's service manager answers nothing for some seconds while
        it starts its own services, so the first answer is waited for too."""
        deadline = time.monotonic() + seconds
        seen = []
        while time.monotonic() < deadline:
            state = self.state()
            if not seen or seen[-1] != state:
                seen.append(state)
            if state == wanted:
                return seen
            time.sleep(0.5)
        self.fail("state %s not reached; seen %s; log:\n%s" % (wanted, seen, self.folder.log()))

    def test_install_start_stop_uninstall(self):
        # The configuration file is named by its full path: the service
        # starts in the system folder, not beside the program.
        code, out = wine(self.folder.exe, "-i", self.account, "a-password", "-c",
                         windows_path(self.ini))
        self.assertIn('Service "Tarnwick WMI Event Listener" installed successfully.', out)
        self.addCleanup(wine, self.folder.exe, "-u")
        self.wait_for_state(1)  # installed, not started
        code, out = wine(self.folder.exe, "-i", self.account, "a-password")
        self.assertIn("Service is already installed.", out)

        code, out = wine("sc.exe", "start", "quellon")
        self.wait_for_state(4)
        client = LineClient(self.port)
        self.addCleanup(client.close)
        login(client)
        client.send("NOOP")
        client.expect(r"^OK noop$")

        # The stop control stops the server in order: the client is told.
        code, out = wine("sc.exe", "stop", "quellon")
        client.expect(r"^Server shutdown$")
        self.wait_for_state(1)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", self.port), timeout=5).close()
        log = self.folder.log()
        self.assertIn("Server Started", log)
        self.assertIn("Server Stopped.", log)

        code, out = wine(self.folder.exe, "-u")
        self.assertIn("Uninstalled Service Successfully.", out)
        self.assertIsNone(self.state(), "sc query finds no service after -u")
        code, out = wine(self.folder.exe, "-u")
        self.assertIn("Uninstall Failed! Please check if the service is installed.", out)

    def test_service_that_cannot_prepare_stops(self):
        # The default relative name is looked up in the service's current
        # folder (the system folder) and the Windows folder, not beside the
        # program; a file without the logger keys is refused as a service.
        no_logger = os.path.join(self.folder.path, "nologger.ini")
        with open(no_logger, "w") as f:
            f.write("[LISTEN]\nADDRESS=127.0.0.1\nPORT=%d\n" % self.port)
        cases = [("default name", []), ("no logger keys", ["-c", windows_path(no_logger)])]
        for name, config in cases:
            with self.subTest(name):
                code, out = wine(self.folder.exe, "-i", *config)
                self.assertIn("installed successfully", out)
                try:
                    self.wait_for_state(1)
                    wine("sc.exe", "start", "quellon")
                    self.wait_for_state(1)
                    time.sleep(2)
                    self.assertEqual(1, self.state(), "stays stopped")
                    with self.assertRaises(OSError):
                        socket.create_connection(("127.0.0.1", self.port), timeout=5).close()
                finally:
                    wine(self.folder.exe, "-u")


class WmiProviderUnderWine(unittest.TestCase):
    """The listener on Wine's own WMI."""

    def setUp(self):
        self.folder = QuellonFolder(self)
        self.port = free_port()
        ini = write_ini(self.folder.path, self.port,
                        "[WMI]\nPROVIDER=wmi\n[OTHERS]\nMinReconnectInterval=1\n"
                        "MaxReconnectInterval=4\n")
        self.quellon = ConsoleQuellon(self.folder, ini)
        self.addCleanup(self.quellon.stop)
        self.client = LineClient(self.port)
        self.addCleanup(self.client.close)
        login(self.client)

    def test_replay_of_system_ends_without_records(self):
        self.client.send("REPLAY localhost System * 20200101000000 0")
        self.client.expect(r"^OK replaying events for requested time period$")
        finished = self.client.expect(r"^REPLAY_FINISHED |^NTEVENT:|^CONNECTION_FAILED", 60)
        self.assertRegex(finished, r"^REPLAY_FINISHED localhost System \* 20200101000000 \d{14}$")

    def test_refused_notification_query_fails_and_is_retried_with_growing_delay(self):
        self.client.send("ADD localhost System *")
        self.client.expect(r"^OK queuing subscription for localhost System \*$")
        failed = self.client.expect(r"^CONNECTION_FAILED", 60)
        self.assertRegex(failed, r"^CONNECTION_FAILED\s+localhost System \* \d{14} - \S")
        # Retries after 1, 2 and 4 seconds (the maximum), each failing again;
        # the client heard of the series once.
        delays = []
        deadline = time.monotonic() + 60
        while len(delays) < 4 and time.monotonic() < deadline:
            time.sleep(1)
            delays = [int(d) for d in re.findall(
                r"Scheduled reconnect in (\d+) sec for - \\\\localhost\\", self.folder.log())]
        self.assertEqual([1, 2, 4, 4], delays[:4], self.folder.log())
        self.client.send("NOOP")
        self.client.expect(r"^OK noop$")
        self.assertEqual(1, sum(1 for line in self.client.lines
                                if line.startswith("CONNECTION_FAILED")), self.client.lines)

    def test_hosts_that_cannot_be_reached(self):
        # A name the resolver does not know is refused at once; an address
        # with no WMI behind it fails with a text.
        self.client.send("ADD no-such-host.invalid System *")
        self.client.expect(r"^ERROR Invalid host for no-such-host\.invalid System \*$")
        self.client.send("ADD 127.0.0.9 System *")
        self.client.expect(r"^OK queuing subscription for 127\.0\.0\.9 System \*$")
        failed = self.client.expect(r"^CONNECTION_FAILED", 90)
        self.assertRegex(failed, r" - (The RPC server is unavailable\.|Unknown Error From WMI)$")


class SimulatedHostsUnderWine(unittest.TestCase):
    """The listener on simulated hosts: a store written by quellon-sim.exe,
    the records as the Linux build sends them, byte for byte."""

    HOST = "127.0.0.2"

    def sim(self, *args):
        code, out = wine(os.path.join(BUILD_DIR, "quellon-sim.exe"), "--store",
                         windows_path(self.store), *args)
        self.assertEqual(0, code, out)

    def setUp(self):
        self.folder = QuellonFolder(self)
        self.store = os.path.join(self.folder.path, "hosts.db")
        self.sim("host", "add", self.HOST, "--computer", "HOSTA")
        self.sim("emit", self.HOST, "--log", "System", "--type", "2", "--source",
                 "Service Control Manager", "--code", "7036", "--time", "20231114221321")
        self.port = free_port()
        ini = write_ini(self.folder.path, self.port,
                        "[WMI]\nPROVIDER=sim\nSIMSTORE=%s\n" % windows_path(self.store))
        self.quellon = ConsoleQuellon(self.folder, ini)
        self.addCleanup(self.quellon.stop)
        self.client = LineClient(self.port)
        self.addCleanup(self.client.close)
        login(self.client)

    def test_replay_and_live_records(self):
        self.client.send("REPLAY %s System * 20231114000000 0" % self.HOST)
        self.client.expect(r"^OK replaying events for requested time period$")
        record = self.client.expect(r"^NTEVENT:|^REPLAY_FINISHED|^CONNECTION_FAILED", 60)
        self.assertEqual("NTEVENT: %s 20231114221321.000000+000 7036 \"Service Control Manager\" "
                         "System Warning <NULL>" % self.HOST, record)
        self.assertEqual(".", self.client.read_line())
        self.client.expect(r"^REPLAY_FINISHED %s System \* 20231114000000 \d{14}$" % self.HOST, 60)

        self.client.send("ADD %s System *" % self.HOST)
        self.client.expect(r"^OK queuing subscription for %s System \*$" % self.HOST)
        self.client.send("LIST")
        self.client.expect(r"^\.$")
        # Written once the subscription reads the host: a live record.
        time.sleep(2)
        self.sim("emit", self.HOST, "--log", "System", "--type", "3", "--source", "Quellon Test",
                 "--code", "4242", "--insert", "under Wine")
        live = self.client.expect(r"^NTEVENT:|^CONNECTION_FAILED", 60)
        self.assertRegex(live, r"^NTEVENT: %s \d{14}\.\d{6}\+000 4242 \"Quellon Test\" System "
                         r"Information \"under Wine\"$" % re.escape(self.HOST))


class KafkaMockCluster:
    """quellon-kafka-mock (the Linux program): librdkafka's mock brokers on
    loopback, ended by closing its standard input."""

    def __init__(self, test, *topics):
        mock = os.environ.get("QUELLON_KAFKA_MOCK") or \
            os.path.join(BUILD_DIR, "linux", "quellon-kafka-mock")
        if not os.access(mock, os.X_OK):
            test.fail("no Linux quellon-kafka-mock at %s (scripts/test-windows builds it)" % mock)
        self.process = subprocess.Popen([mock, *topics], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        test.addCleanup(self.stop)
        lines = queue.Queue()
        reader = threading.Thread(target=lambda: [lines.put(l) for l in self.process.stdout],
                                  daemon=True)
        reader.start()
        try:
            first = lines.get(timeout=30).decode(errors="replace").strip()
        except queue.Empty:
            test.fail("quellon-kafka-mock printed nothing in 30 s")
        if not first.startswith("BOOTSTRAPS "):
            test.fail("quellon-kafka-mock: %s" % first)
        self.bootstraps = first.split(" ", 1)[1]

    def read(self, topic):
        """Every record of topic as (key, value), in each partition's order."""
        done = subprocess.run(["kcat", "-C", "-b", self.bootstraps, "-t", topic, "-o",
                               "beginning", "-e", "-q", "-f", "%k\\t%s\\n"],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=60)
        if done.returncode != 0:
            raise AssertionError("kcat: %s" % done.stderr.decode(errors="replace"))
        return [tuple(line.split("\t", 1)) for line in done.stdout.decode().splitlines() if line]

    def stop(self):
        end_at_end_of_input(self.process)
        self.process.stdout.close()


class KafkaUnderWine(unittest.TestCase):
    """quellon.exe's Kafka output (librdkafka built for Windows): a standing
    subscription to a simulated host, every record once and in order in the
    topic, as kcat reads it from the cluster on Linux."""

    HOST = "127.0.0.2"
    RECORDS = 50

    def sim(self, *args):
        code, out = wine(os.path.join(BUILD_DIR, "quellon-sim.exe"), "--store",
                         windows_path(self.store), *args)
        self.assertEqual(0, code, out)

    def setUp(self):
        self.cluster = KafkaMockCluster(self, "quellon-events", "quellon-notices")
        self.folder = QuellonFolder(self)
        self.store = os.path.join(self.folder.path, "hosts.db")
        self.sim("host", "add", self.HOST, "--computer", "HOSTA")
        # play copies this record, with fresh numbers and times.
        self.sim("emit", self.HOST, "--log", "System", "--type", "3", "--source", "Quellon Test",
                 "--code", "4242", "--insert", "under Wine", "--time", "20231114221321")
        self.port = free_port()
        ini = write_ini(self.folder.path, self.port,
                        "[WMI]\nPROVIDER=sim\nSIMSTORE=%s\n[OTHERS]\nSTATEFILE=%s\n"
                        "[KAFKA]\nBROKERS=%s\nlinger.ms=5\n[SUBSCRIPTIONS]\nhosta=%s * *\n" %
                        (windows_path(self.store), windows_path(os.path.join(self.folder.path,
                                                                             "state.db")),
                         self.cluster.bootstraps, self.HOST))
        self.quellon = ConsoleQuellon(self.folder, ini)
        self.addCleanup(self.quellon.stop)

    def events(self):
        return [(key, json.loads(value)) for key, value in self.cluster.read("quellon-events")]

    def test_standing_subscription_into_kafka(self):
        deadline = time.monotonic() + START_SECONDS
        while "Host Connected" not in self.folder.log():
            if time.monotonic() > deadline or self.quellon.process.poll() is not None:
                self.fail("the standing subscription did not start; console:\n%s\nlog:\n%s" %
                          (self.quellon.output(), self.folder.log()))
            time.sleep(0.5)
        self.sim("play", self.HOST, "--rate", "1000", "--count", str(self.RECORDS))

        deadline = time.monotonic() + 90
        events = self.events()
        while len(events) < self.RECORDS and time.monotonic() < deadline:
            time.sleep(1)
            events = self.events()
        self.assertEqual(self.RECORDS, len(events), "%s\nlog:\n%s" % (events, self.folder.log()))
        numbers = [event["RecordNumber"] for key, event in events]
        self.assertEqual(list(range(numbers[0], numbers[0] + self.RECORDS)), numbers,
                         "every record once, in order")
        for key, event in events:
            self.assertEqual(self.HOST, key, event)
            self.assertEqual((self.HOST, "HOSTA", "System", 4242, "Quellon Test", ["under Wine"]),
                             (event["Host"], event["ComputerName"], event["Logfile"],
                              event["EventCode"], event["SourceName"],
                              event["InsertionStrings"]), event)
            self.assertRegex(event["TimeGenerated"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z$")

        # STATS tells of the output: its brokers, and every event and notice
        # acknowledged.
        notices = self.cluster.read("quellon-notices")
        client = LineClient(self.port)
        self.addCleanup(client.close)
        login(client)
        client.send("STATS")
        line = client.expect(r"^kafka ", 30)
        self.assertRegex(line, r"^kafka brokers_up=[1-3]/3 queued=0 queued_bytes=0 acked=%d .*"
                         r"errors=0 last_error=-$" % (self.RECORDS + len(notices)), notices)
        self.quellon.stop()
        self.assertIn("Server Stopped.", self.folder.log())


class TlsUnderWine(unittest.TestCase):
    """TLS 1.2 only, on the TLS port only, with openssl s_client as the client."""

    def setUp(self):
        self.folder = QuellonFolder(self)
        certs = os.path.join(self.folder.path, "certs")
        subprocess.run([os.path.join(SOURCE_DIR, "scripts", "make-test-certs"), certs,
                        "a-password"], check=True, stdout=subprocess.DEVNULL)
        self.ca = os.path.join(certs, "ca.pem")
        self.plain_port, self.tls_port = free_port(), free_port()
        ssl = ("[SSL]\nSSLENABLED=true\nSSLPORT=%d\nSERVERCERTFILE=%s\nSERVERCERTPASSWORD=a-password\n"
               "DHFILE=%s\nCALIST=%s\n" % (self.tls_port, windows_path(os.path.join(certs, "server.pem")),
                                          windows_path(os.path.join(certs, "dh.pem")),
                                          windows_path(os.path.join(certs, "calist.pem"))))
        ini = write_ini(self.folder.path, self.plain_port, ssl + "[WMI]\nPROVIDER=wmi\n")
        self.quellon = ConsoleQuellon(self.folder, ini)
        self.addCleanup(self.quellon.stop)

    def s_client(self, version, lines):
        """openssl s_client with one protocol version; lines are typed half a
        second apart (one command per read). Returns its output."""
        script = "".join("printf '%s\\r\\n'; sleep 0.5; " % line for line in lines)
        command = ("(sleep 1; %s sleep 1) | timeout 30 openssl s_client -connect 127.0.0.1:%d "
                   "-%s -CAfile '%s' -verify_return_error -servername localhost -brief" %
                   (script, self.tls_port, version, self.ca))
        done = subprocess.run(["bash", "-c", command], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        return done.stdout.decode("utf-8", "replace")

    def test_tls12_handshake_and_login(self):
        LineClient(self.tls_port).close()  # listening
        out = self.s_client("tls1_2", ["LOGIN %s %s" % (USER, PASSWORD), "NOOP"])
        self.assertIn("Protocol version: TLSv1.2", out)
        self.assertIn("Verification: OK", out)
        self.assertRegex(out, r"200 .* Ready To Authenticate")
        self.assertIn("OK authentication successful", out)
        self.assertIn("OK noop", out)

    def test_only_tls12_on_the_tls_port_only(self):
        LineClient(self.tls_port).close()
        out = self.s_client("tls1_3", ["NOOP"])
        self.assertNotIn("Ready To Authenticate", out)
        self.assertNotIn("Protocol version: TLSv1.3", out)
        with self.assertRaises(OSError):
            socket.create_connection(("127.0.0.1", self.plain_port), timeout=5).close()


if __name__ == "__main__":
    if not BUILD_DIR or not os.path.exists(os.path.join(BUILD_DIR, "quellon.exe")):
        sys.exit("QUELLON_BUILD_DIR must name the Windows build (quellon.exe)")
    unittest.main(verbosity=2)
