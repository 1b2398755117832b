#!/usr/bin/env python3
"""Runs the labgrid driver's pytest tests against a simulated handset: first on its local ptys
(RawSerialPort), then, when ser2net is installed, on the same ptys exported by ser2net
(NetworkSerialPort), and the lab's example test with example-env.yaml pointed at that
exporter. Writes the environment files with this run's paths and ports. An interpreter without
labgrid hands the run to one that has it (the system's python3).

Usage: run_tests.py FIRMWARE_UTILITY   (exit 77: skipped, labgrid or pytest missing)"""

import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIPPED = 77
HERE = os.path.dirname(os.path.abspath(__file__))
INTEGRATION = os.path.dirname(HERE)
# Interpreters that may have labgrid when this one has not: the distribution's first.
INTERPRETERS = ("/usr/bin/python3", "python3")
# How long ser2net may take to listen.
LISTEN_BOUND_S = 10
# Where the exported ports are chosen.
LOWEST_PORT, PORT_SPAN = 20000, 12000


def profile_entries(path):
    entries = {}
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            line = line.split(";")[0].split("#")[0]
            if "=" in line:
                key, value = (part.strip() for part in line.split("=", 1))
                entries[key.upper()] = value
    return entries


def free_ports(count):
    """Ports below the kernel's range for outgoing connections, so that no other connection
    takes one between its choice and ser2net's bind."""
    ports, candidate = [], LOWEST_PORT + random.randrange(PORT_SPAN)
    for _ in range(PORT_SPAN):
        if len(ports) == count:
            break
        candidate = LOWEST_PORT + (candidate - LOWEST_PORT + 1) % PORT_SPAN
        if not listening(candidate):
            ports.append(candidate)
    return ports


def listening(port):
    with socket.socket() as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            sock.bind(("127.0.0.1", port))
        except OSError:
            return True
    return False


def resource(kind, name, value):
    if kind == "RawSerialPort":
        return f"      - RawSerialPort:\n          name: {name}\n          port: {value}\n"
    return (f"      - NetworkSerialPort:\n          name: {name}\n          host: 127.0.0.1\n"
            f"          port: {value}\n          protocol: rfc2217\n")


def environment(path, kind, link, at, gone, program, entries):
    driver = (f"      - FirmwareUtilityDriver:\n          bindings:\n            port: link\n{{at}}"
              f"          program: {program}\n          ril: {entries['RIL1:']}\n"
              f"          kernel: {entries['KERNELIOCONTROL']}\n          simulated: true\n")
    with open(path, "w", encoding="utf-8") as out:
        out.write("targets:\n  main:\n    resources:\n")
        out.write(resource(kind, "link", link) + resource(kind, "at", at))
        out.write("    drivers:\n" + driver.format(at="            at_port: at\n"))
        out.write("  gone:\n    resources:\n" + resource(kind, "link", gone) + resource(kind, "at", at))
        out.write("    drivers:\n" + driver.format(at="            at_port: at\n"))
        out.write("imports:\n  - firmware_utility_labgrid\n")


def example_environment(path, link, at, program, entries):
    """example-env.yaml as a lab writes it, its exporter and adapters those of this run."""
    import yaml
    with open(os.path.join(INTEGRATION, "example-env.yaml"), encoding="utf-8") as lab:
        config = yaml.safe_load(lab)
    for port in config["targets"]["main"]["resources"]:
        serial = port["NetworkSerialPort"]
        serial.update(host="127.0.0.1", port=link if serial["name"] == "link" else at)
    driver = config["targets"]["main"]["drivers"][0]["FirmwareUtilityDriver"]
    driver.update(ril=entries["RIL1:"], kernel=entries["KERNELIOCONTROL"], simulated=True)
    del driver["firmware"]  # the stand-ins the simulated module knows
    with open(path, "w", encoding="utf-8") as out:
        yaml.safe_dump(config, out)
    return dict(os.environ, PATH=os.path.dirname(program) + os.pathsep + os.environ.get("PATH", ""))


def pytest_run(env_file, name, test, environ=None):
    print(f"== labgrid driver: {name}", flush=True)
    environ = dict(environ or os.environ, PYTHONDONTWRITEBYTECODE="1")
    environ["PYTHONPATH"] = INTEGRATION + os.pathsep + environ.get("PYTHONPATH", "")
    return subprocess.call([sys.executable, "-m", "pytest", "-q", "--durations=3", "-p", "no:cacheprovider", "--lg-env", env_file,
                            test], env=environ)


def has_labgrid(interpreter):
    return subprocess.call([interpreter, "-c", "import labgrid, pytest, yaml"], stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL) == 0


def main():
    try:
        import labgrid  # noqa: F401
        import pytest  # noqa: F401
    except ImportError as missing:
        for name in INTERPRETERS:
            other = shutil.which(name)
            if other and os.path.realpath(other) != os.path.realpath(sys.executable) and has_labgrid(other):
                print(f"{sys.executable} has no labgrid ({missing}); running with {other}", flush=True)
                os.execv(other, [other, "-B", os.path.abspath(__file__)] + sys.argv[1:])
        print(f"labgrid driver tests skipped: {missing} in {sys.executable} and in {', '.join(INTERPRETERS)} "
              "(install python3-labgrid and python3-pytest, or run this with the python3 that has them)")
        return SKIPPED
    program = os.path.abspath(sys.argv[1])
    with tempfile.TemporaryDirectory(prefix="fwu-labgrid-test-") as directory:
        sim = subprocess.Popen([program, "sim"], stdout=subprocess.PIPE, text=True,
                               env=dict(os.environ, TMPDIR=directory))
        ser2net = None
        try:
            entries = profile_entries(sim.stdout.readline().strip())
            env_file = os.path.join(directory, "local.yaml")
            environment(env_file, "RawSerialPort", entries["COM1:"], entries["COM2:"],
                        os.path.join(directory, "no-such-tty"), program, entries)
            tests = os.path.join(HERE, "test_firmware_update.py")
            status = pytest_run(env_file, "local ptys (RawSerialPort)", tests)
            ser2net_path = shutil.which("ser2net") or ("/usr/sbin/ser2net" if os.path.exists("/usr/sbin/ser2net") else None)
            if ser2net_path is None:
                print("labgrid driver through ser2net skipped: ser2net is not installed")
                return status
            link_port, at_port, gone_port = free_ports(3)
            config = os.path.join(directory, "ser2net.yaml")
            with open(config, "w", encoding="utf-8") as out:
                for index, (port, device) in enumerate(((link_port, entries["COM1:"]), (at_port, entries["COM2:"]))):
                    out.write(f"connection: &port{index}\n  accepter: telnet(rfc2217),tcp(nodelay),127.0.0.1,{port}\n"
                              f"  connector: serialdev,{device},115200n81,local\n")
            log = open(os.path.join(directory, "ser2net.log"), "w", encoding="utf-8")
            ser2net = subprocess.Popen([ser2net_path, "-n", "-d", "-c", config], stdout=log, stderr=log)
            deadline = time.monotonic() + LISTEN_BOUND_S
            while not (listening(link_port) and listening(at_port)):
                if time.monotonic() > deadline or ser2net.poll() is not None:
                    print("ser2net did not start")
                    return 1
                time.sleep(0.02)
            env_file = os.path.join(directory, "ser2net.yaml.env")
            environment(env_file, "NetworkSerialPort", link_port, at_port, gone_port, program, entries)
            status = pytest_run(env_file, "through ser2net (NetworkSerialPort)", tests) or status
            example = os.path.join(directory, "example-env.yaml")
            environ = example_environment(example, link_port, at_port, program, entries)
            return pytest_run(example, "example-env.yaml's example test", os.path.join(INTEGRATION, "example_test.py"),
                              environ) or status
        finally:
            if ser2net is not None:
                ser2net.kill()
                ser2net.wait()
            sim.send_signal(signal.SIGTERM)
            sim.wait()


if __name__ == "__main__":
    sys.exit(main())
