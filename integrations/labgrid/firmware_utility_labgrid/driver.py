"""The driver: writes the run's profile from the bound resources, runs
`firmware-utility update --events - --record FILE`, turns the events into labgrid steps and
returns the outcome and the record.

The program's JSON events and its record line are the seam: the driver reads nothing else of
it, so a lab's own reporting can take the same lines. Its stderr goes to a file, so a program
that writes much there (`--trace -`) never waits for the driver; the whole run is bounded by
`timeout`. Every value that becomes a profile entry is checked first: one that would add or
cut a profile line is refused."""

import json
import logging
import os
import re
import selectors
import signal
import subprocess
import tempfile
import time

import attr

from labgrid.driver.common import Driver
from labgrid.factory import target_factory
from labgrid.step import StepEvent, step, steps

# Resource classes, how their port is named in a profile.
SERIAL_RESOURCES = {"RawSerialPort", "USBSerialPort", "NetworkSerialPort"}
# labgrid's protocol names, the program's scheme.
NETWORK_SCHEMES = {"rfc2217": "rfc2217", "raw": "tcp"}
# Events shown as steps of their own.
STAGE_START, STAGE_END = "stage_start", "stage_end"
# The bound on a whole run (seconds): the attempts, the stages at 115,200 baud and the check.
RUN_TIMEOUT_S = 900
# How long a program that overran its bound has to end after SIGTERM, before SIGKILL.
STOP_GRACE_S = 10
# The outcome of a run that overran its bound.
TIMED_OUT = "timed_out"
# Characters a profile value cannot hold: control characters end or garble its line, ';' and
# '#' start a comment; '[' or '=' first would read as a section or an empty value.
FORBIDDEN = re.compile(r"[\x00-\x1f\x7f;#]|^[\[=]")
# A host of an exported port: a name, an IPv4 address or an IPv6 address.
HOST = re.compile(r"[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?|[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*")
READ_SIZE = 65536


def profile_value(name, value):
    """`value` as a profile entry's value; ValueError naming `name` when it cannot be one."""
    text = str(value)
    found = FORBIDDEN.search(text)
    if not text or found:
        shown = text.encode("unicode_escape").decode("ascii")
        what = f"holds {found.group()!r}" if found else "is empty"
        raise ValueError(f"FirmwareUtilityDriver: {name} {what}, which a profile value cannot: {shown}")
    return text


def port_entry(resource):
    """The profile entry of a labgrid serial resource: its device node, or
    rfc2217://HOST:PORT / tcp://HOST:PORT for an exported port."""
    if resource is None:
        return None
    name = f"{type(resource).__name__} {getattr(resource, 'name', None) or ''}".rstrip()
    if type(resource).__name__ == "NetworkSerialPort":
        scheme = NETWORK_SCHEMES.get(resource.protocol)
        if scheme is None:
            raise ValueError(f"NetworkSerialPort protocol {resource.protocol!r} is neither rfc2217 nor raw")
        host = str(resource.host)
        if not HOST.fullmatch(host):
            shown = host.encode("unicode_escape").decode("ascii")
            raise ValueError(f"FirmwareUtilityDriver: {name} host is no host name or address: {shown}")
        port = resource.port
        if isinstance(port, bool) or not isinstance(port, int) or not 0 < port < 65536:
            raise ValueError(f"FirmwareUtilityDriver: {name} port is no TCP port: {port!r}")
        host = f"[{host}]" if ":" in host else host
        return f"{scheme}://{host}:{port}"
    return profile_value(f"{name} port", resource.port)


@attr.s(eq=False)
class UpdateResult:
    outcome = attr.ib()       # run_end's outcome ("verified", "module_lost", ...), or "not_started"
    exit_code = attr.ib()     # the program's exit status
    record = attr.ib()        # the --record line as a dict (None when none was written)
    events = attr.ib()        # every event, in order
    stderr = attr.ib()        # what the program said on stderr

    @property
    def passed(self):
        return self.exit_code == 0

    @property
    def revision_before(self):
        return (self.record or {}).get("revision_before")

    @property
    def revision_after(self):
        return (self.record or {}).get("revision_after")

    @property
    def signer(self):
        """The trusted key that signed the payload set, {"fingerprint", "user_id"}; None when
        the set was not signed."""
        starts = [event for event in self.events if event.get("event") == "run_start"]
        return (self.record or (starts[-1] if starts else {})).get("signer")


@target_factory.reg_driver
@attr.s(eq=False)
class FirmwareUtilityDriver(Driver):
    """Flashes the module on `port` (its download link, COM1:) and reads its revision on
    `at_port` (COM2:) when bound.

    Args:
        program: the firmware-utility executable
        ril: the radio driver's profile entry (a socket path or exec:/program [args])
        kernel: the kernel's reboot entry (a socket path or exec:/program [args])
        reset: a [radio] reset of the module link, "dtr 100 high" (instead of ril's reset)
        firmware: a payload set directory (--firmware), else the program's own
        simulated: the module is the simulated handset's (stand-in payloads allowed)
        options: more options for `update` (["--attempts", "3"])
        timeout: the bound on the whole run in seconds; a run past it is stopped (SIGTERM,
            then SIGKILL) and its outcome is "timed_out"
    """

    bindings = {
        "port": SERIAL_RESOURCES,
        "at_port": SERIAL_RESOURCES | {None},
    }
    program = attr.ib(default="firmware-utility", validator=attr.validators.instance_of(str))
    ril = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    kernel = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    reset = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    firmware = attr.ib(default=None, validator=attr.validators.optional(attr.validators.instance_of(str)))
    simulated = attr.ib(default=False, validator=attr.validators.instance_of(bool))
    options = attr.ib(default=attr.Factory(list), validator=attr.validators.instance_of(list))
    timeout = attr.ib(default=RUN_TIMEOUT_S, validator=attr.validators.instance_of((int, float)))

    def __attrs_post_init__(self):
        super().__attrs_post_init__()
        self.logger = logging.getLogger(f"{self}:{self.target}")
        self._process = None

    def profile_text(self):
        """The run's profile, from the bound resources and the driver's settings."""
        lines = ["# written by the labgrid driver", "[devices]", f"COM1: = {port_entry(self.port)}"]
        if self.at_port is not None:
            lines.append(f"COM2: = {port_entry(self.at_port)}")
        if self.ril:
            lines.append(f"RIL1: = {profile_value('ril', self.ril)}")
        if self.at_port is not None:
            lines += ["[registry]", "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2"]
        if self.kernel:
            lines += ["[kernel]", f"KernelIoControl = {profile_value('kernel', self.kernel)}"]
        if self.reset:
            lines += ["[radio]", f"reset = COM1: {profile_value('reset', self.reset)}"]
        lines += ["[handset]", f"simulated = {'true' if self.simulated else 'false'}"]
        return "\n".join(lines) + "\n"

    @Driver.check_active
    @step(title="firmware-update", result=True)
    def update(self, station=None):
        """Runs one update to its end; returns an UpdateResult (never raises for a failed
        run: the outcome says how it ended). A setting or resource value that a profile cannot
        hold raises ValueError before anything runs."""
        text = self.profile_text()
        with tempfile.TemporaryDirectory(prefix="fwu-labgrid-") as directory:
            profile = os.path.join(directory, "profile")
            record = os.path.join(directory, "record.jsonl")
            with open(profile, "w", encoding="utf-8") as out:
                out.write(text)
            command = [self.program, "update", "--profile", profile, "--events", "-", "--record", record]
            if self.firmware:
                command += ["--firmware", self.firmware]
            if station:
                command += ["--station", station]
            command += [str(option) for option in self.options]
            self.logger.debug("running %s", " ".join(command))
            with open(os.path.join(directory, "stderr"), "w+", encoding="utf-8", errors="replace") as errors:
                events, timed_out = self._run(command, errors)
                errors.seek(0)
                stderr = errors.read()
            exit_code = self._process.returncode
            record_line = None
            if os.path.exists(record):
                with open(record, encoding="utf-8") as lines:
                    kept = [line for line in lines if line.strip()]
                if kept:
                    record_line = json.loads(kept[-1])
        ends = [event for event in events if event.get("event") == "run_end"]
        outcome = TIMED_OUT if timed_out else ends[-1].get("outcome") if ends else "not_started"
        return UpdateResult(outcome=outcome, exit_code=exit_code, record=record_line, events=events, stderr=stderr)

    def _run(self, command, errors):
        """Runs the program, stderr to `errors`, each event a step event as it comes; stages
        are steps. Returns the events and whether the run overran `timeout`."""
        events, stage, pending = [], None, b""
        self._process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=errors,
                                         stdin=subprocess.DEVNULL, start_new_session=True)
        current = steps.get_current()
        deadline, timed_out, killed = time.monotonic() + self.timeout, False, False
        with selectors.DefaultSelector() as selector:
            selector.register(self._process.stdout, selectors.EVENT_READ)
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    if killed:
                        break  # something the program started still holds its stdout
                    if timed_out:
                        self._kill()
                        killed, deadline = True, time.monotonic() + STOP_GRACE_S
                    else:
                        self.logger.warning("the run overran %s s; stopping it", self.timeout)
                        self._process.send_signal(signal.SIGTERM)
                        timed_out, deadline = True, time.monotonic() + STOP_GRACE_S
                    continue
                if not selector.select(left):
                    continue
                chunk = os.read(self._process.stdout.fileno(), READ_SIZE)
                if not chunk:
                    break
                *lines, pending = (pending + chunk).split(b"\n")
                for line in lines:
                    stage = self._event(line, events, stage, current)
        self._process.stdout.close()
        if stage is not None:  # the run ended inside a stage (module lost)
            stage.stop()
        try:
            self._process.wait(max(deadline - time.monotonic(), 0) + STOP_GRACE_S)
        except subprocess.TimeoutExpired:
            self._kill()
            self._process.wait()
        return events, timed_out

    def _kill(self):
        """SIGKILL to the program and what runs in its process group."""
        try:
            os.killpg(self._process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass

    def _event(self, line, events, stage, current):
        """One stdout line: an event, shown as a step or a step event. Returns the open stage."""
        try:
            event = json.loads(line)
        except ValueError:
            return stage
        if not isinstance(event, dict):
            return stage
        events.append(event)
        name = event.get("event")
        if name == STAGE_START:
            stage = steps.get_new(f"stage-{event.get('stage')}-{event.get('name')}", None, self)
            stage.start()
        elif name == STAGE_END and stage is not None:
            stage.result = event.get("result")
            stage.stop()
            stage = None
        else:
            target = stage or current
            if target is not None:
                data = {key: value for key, value in event.items() if key not in ("v", "t")}
                steps.notify(StepEvent(target, data, resource=None, stream=name == "progress"))
        return stage
