#!/usr/bin/env python3
"""Starts the Linux test gateway for tests that cannot start it themselves.

Under Wine the Windows test program cannot run a Linux program and wait for
it, but its sockets are the host's: it asks this launcher, over a loopback
TCP connection, for gateways. One control connection holds one gateway:

  start ARGS...   runs tlx_gateway ARGS with the launcher's certificate, a log
                  file of its own (--cert, --key, --log added) and the word
                  @capture replaced by a capture file of its own; answers
                  "PORT <port> <sha1 fingerprint>" or "ERROR <text>"
  file log|capture
                  answers "FILE <length>" and that many bytes of the file
                  (length 0 when it does not exist)
  stop            ends the gateway; answers "STOPPED"

A closed control connection ends its gateway too.

  gateway_launcher.py start --gateway EXE --state FILE   start in the background
  gateway_launcher.py stop --state FILE                  stop it
  gateway_launcher.py serve --gateway EXE --state FILE   run in the foreground

The state file holds "<port> <pid>" once the launcher listens on 127.0.0.1.
It ends by itself after --max-time seconds (default 1800) in any case.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_CERT = os.path.join(HERE, "..", "scripts", "make-test-cert.sh")
START_WAIT_S = 10


class Launcher:
    def __init__(self, gateway):
        self.gateway = gateway
        self.work = tempfile.mkdtemp(prefix="tlx_launcher_")
        cert_dir = os.path.join(self.work, "cert")
        out = subprocess.run(["bash", MAKE_CERT, cert_dir], check=True, capture_output=True,
                             text=True).stdout
        # "sha1 Fingerprint=AA:BB:..."
        self.fingerprint = out.strip().split("=", 1)[1]
        self.cert = os.path.join(cert_dir, "cert.pem")
        self.key = os.path.join(cert_dir, "key.pem")
        self.serial = 0
        self.lock = threading.Lock()
        self.processes = set()

    def end_all(self):
        with self.lock:
            processes = list(self.processes)
        for p in processes:
            p.kill()

    def next_dir(self):
        with self.lock:
            self.serial += 1
            path = os.path.join(self.work, "gateway%d" % self.serial)
        os.mkdir(path)
        return path


class Session:
    """One control connection and the gateway it started."""

    def __init__(self, launcher, conn):
        self.launcher = launcher
        self.conn = conn
        self.reader = conn.makefile("rb")
        self.process = None
        self.dir = None

    def send(self, data):
        self.conn.sendall(data)

    def start(self, args):
        if self.process:
            return b"ERROR already started\n"
        self.dir = self.launcher.next_dir()
        files = {"@capture": os.path.join(self.dir, "capture.pcap")}
        command = [self.launcher.gateway, "--cert", self.launcher.cert, "--key", self.launcher.key,
                   "--log", os.path.join(self.dir, "log")]
        command += [files.get(a, a) for a in args]
        self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL)
        with self.launcher.lock:
            self.launcher.processes.add(self.process)
        # The gateway prints "PORT <n>" once it listens.
        timer = threading.Timer(START_WAIT_S, self.process.kill)
        timer.start()
        port = None
        for line in self.process.stdout:
            if line.startswith(b"PORT "):
                port = int(line.split()[1])
                break
        timer.cancel()
        if port is None:
            return b"ERROR the gateway did not start\n"
        # What it prints later must not fill the pipe and stop it.
        threading.Thread(target=self.drain, args=(self.process.stdout,), daemon=True).start()
        return b"PORT %d %s\n" % (port, self.launcher.fingerprint.encode())

    @staticmethod
    def drain(stream):
        for _ in stream:
            pass

    def file(self, name):
        paths = {"log": "log", "capture": "capture.pcap"}
        data = b""
        if self.dir and name in paths:
            try:
                with open(os.path.join(self.dir, paths[name]), "rb") as f:
                    data = f.read()
            except OSError:
                pass
        return b"FILE %d\n" % len(data) + data

    def stop(self):
        if not self.process:
            return
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        with self.launcher.lock:
            self.launcher.processes.discard(self.process)
        self.process = None

    def run(self):
        try:
            for line in self.reader:
                words = line.decode("utf-8", "replace").split()
                if not words:
                    continue
                if words[0] == "start":
                    self.send(self.start(words[1:]))
                elif words[0] == "file" and len(words) == 2:
                    self.send(self.file(words[1]))
                elif words[0] == "stop":
                    self.stop()
                    self.send(b"STOPPED\n")
                else:
                    self.send(b"ERROR unknown request\n")
        except OSError:
            pass
        finally:
            self.stop()
            self.conn.close()
            if self.dir:
                shutil.rmtree(self.dir, ignore_errors=True)


def serve(opts):
    launcher = Launcher(opts.gateway)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)

    def finish(*_):
        launcher.end_all()
        shutil.rmtree(launcher.work, ignore_errors=True)
        try:
            os.unlink(opts.state)
        except OSError:
            pass
        os._exit(0)

    signal.signal(signal.SIGTERM, finish)
    threading.Timer(opts.max_time, finish).start()
    tmp = opts.state + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d %d\n" % (listener.getsockname()[1], os.getpid()))
    os.replace(tmp, opts.state)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=Session(launcher, conn).run, daemon=True).start()


def read_state(path):
    try:
        with open(path) as f:
            port, pid = f.read().split()
        return int(port), int(pid)
    except (OSError, ValueError):
        return None


def start(opts):
    stop(opts)
    if not os.access(opts.gateway, os.X_OK):
        print("gateway_launcher: %s is not a program" % opts.gateway, file=sys.stderr)
        return 1
    log = open(opts.state + ".log", "w")
    # A session of its own, every output away from the caller's: CTest waits
    # for the pipes of a test's whole process tree.
    subprocess.Popen([sys.executable, os.path.abspath(__file__), "serve", "--gateway", opts.gateway,
                      "--state", opts.state, "--max-time", str(opts.max_time)],
                     stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    for _ in range(200):
        if read_state(opts.state):
            print("gateway_launcher: listening on 127.0.0.1:%d" % read_state(opts.state)[0])
            return 0
        time.sleep(0.05)
    print("gateway_launcher: did not start", file=sys.stderr)
    return 1


def is_launcher(pid):
    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            return os.path.basename(__file__).encode() in f.read()
    except OSError:
        return False


def stop(opts):
    state = read_state(opts.state)
    # Only the launcher the state file names, never a process that took its id.
    if state and is_launcher(state[1]):
        try:
            os.kill(state[1], signal.SIGTERM)
        except OSError:
            pass
        for _ in range(100):
            if not os.path.exists(opts.state):
                break
            time.sleep(0.05)
    try:
        os.unlink(opts.state)
    except OSError:
        pass
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("mode", choices=["start", "stop", "serve"])
    parser.add_argument("--gateway", help="the tlx_gateway program")
    parser.add_argument("--state", required=True, help="the state file")
    parser.add_argument("--max-time", type=int, default=1800)
    opts = parser.parse_args()
    if opts.mode != "stop" and not opts.gateway:
        parser.error("--gateway is needed")
    return {"start": start, "stop": stop, "serve": serve}[opts.mode](opts) or 0


if __name__ == "__main__":
    sys.exit(main())
