"""The servers of a benchmark run: nginx as the download nodes and talvane-cdn as
the manifest host, geolocation and analytics endpoints. All listen on 127.0.0.1
only and are stopped by the process that started them.
"""

import os
import random
import signal
import socket
import subprocess
import threading
import time

# Below Linux's default ephemeral range (32768-60999), so that the outgoing
# connections of the downloaders cannot have taken a port between the check and
# nginx binding it.
PORT_LOW, PORT_HIGH = 20000, 32000


def port_is_free(port):
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def pick_free_ports(count, rng=None, attempts=200):
    rng = rng or random.Random()
    chosen = []
    for _ in range(attempts):
        port = rng.randint(PORT_LOW, PORT_HIGH)
        if port not in chosen and port_is_free(port):
            chosen.append(port)
            if len(chosen) == count:
                return chosen
    raise RuntimeError("no %d free ports found between %d and %d" % (count, PORT_LOW, PORT_HIGH))


def wait_for_port(port, timeout, process=None):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process is not None and process.poll() is not None:
            raise RuntimeError("server exited with status %s before listening on %d" % (process.returncode, port))
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=1):
                return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("nothing listening on 127.0.0.1:%d after %.0f s" % (port, timeout))


def nginx_missing_modules(nginx="nginx"):
    """Names of the temp-path modules this nginx was built without; their
    *_temp_path directives would be unknown to it."""
    info = subprocess.run([nginx, "-V"], capture_output=True, text=True).stderr
    return {m for m in ("proxy", "fastcgi", "uwsgi", "scgi") if "--without-http_%s_module" % m in info}


def nginx_conf(folder, content_root, ports, workers=1, missing=(), host="127.0.0.1"):
    """A self-contained configuration: every file nginx writes lives in folder.
    One worker by default: the machine is small and the downloaders under test
    need the cores more than the server does."""
    paths = ["client_body_temp_path %s;" % os.path.join(folder, "client_body")]
    for module in ("proxy", "fastcgi", "uwsgi", "scgi"):
        if module not in missing:
            paths.append("%s_temp_path %s;" % (module, os.path.join(folder, module)))
    # Started by root, nginx would run its workers as an unprivileged user that
    # may not read a private work folder; the harness's own user serves instead.
    user = "user root;\n" if os.geteuid() == 0 else ""
    servers = "\n".join("    server { listen %s:%d; root %s; }" % (host, port, content_root) for port in ports)
    return """%sdaemon off;
worker_processes %d;
pid %s;
error_log %s warn;
events { worker_connections 4096; }
http {
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 100000;
    default_type application/octet-stream;
    %s
%s
}
""" % (
        user,
        workers,
        os.path.join(folder, "nginx.pid"),
        os.path.join(folder, "error.log"),
        "\n    ".join(paths),
        servers,
    )


class Nginx:
    """host, prefix and wait serve a node in a network namespace of its own:
    prefix is the command that enters it (`ip netns exec NS`), and wait(port,
    process) replaces the check on 127.0.0.1, which cannot see into it."""

    def __init__(self, folder, content_root, ports, workers=1, nginx="nginx", host="127.0.0.1", prefix=(),
                 wait=None):
        self.folder = folder
        self.ports = list(ports)
        os.makedirs(folder, exist_ok=True)
        self.conf = os.path.join(folder, "nginx.conf")
        with open(self.conf, "w") as out:
            out.write(nginx_conf(folder, content_root, ports, workers, nginx_missing_modules(nginx), host))
        self.log = open(os.path.join(folder, "nginx.out"), "w")
        self.process = subprocess.Popen(
            list(prefix) + [nginx, "-c", self.conf, "-p", folder, "-e", os.path.join(folder, "error.log")],
            stdout=self.log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
        )
        wait = wait or (lambda port, process: wait_for_port(port, 20, process))
        try:
            for port in self.ports:
                wait(port, self.process)
        except Exception:
            self.stop()
            raise

    def stop(self):
        stop_process(self.process, signal.SIGQUIT)
        self.log.close()


class TalvaneCdn:
    """talvane-cdn with ephemeral ports; its own download nodes stay unused
    because the node list names the nginx ports."""

    def __init__(self, binary, content_root, log_path, timeout=30, prefix=()):
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(
            list(prefix) + [binary, "--root", content_root, "--nodes", "1"],
            stdout=subprocess.PIPE,
            stderr=self.log,
            text=True,
            start_new_session=True,
        )
        self.endpoints = {}
        ready = threading.Event()

        def read_endpoints():
            for line in self.process.stdout:
                line = line.strip()
                if line == "ready":
                    ready.set()
                    break
                name, _, value = line.partition(" ")
                self.endpoints[name] = value

        reader = threading.Thread(target=read_endpoints, daemon=True)
        reader.start()
        if not ready.wait(timeout):
            self.stop()
            raise RuntimeError("talvane-cdn did not report ready within %d s" % timeout)

    def stop(self):
        stop_process(self.process, signal.SIGTERM)
        self.log.close()


def stop_process(process, sig, timeout=15):
    if process.poll() is not None:
        return
    try:
        process.send_signal(sig)
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=timeout)
