"""The driver: writes the run's profile from the bound resources, runs
`firmware-utility update --events - --record FILE`, turns the events into labgrid steps and
returns the outcome and the record.

The program's JSON events and its record line are the seam: the driver reads nothing else of
it, so a lab's own reporting can take the same lines."""

import json
import logging
import os
import subprocess
import tempfile

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


def port_entry(resource):
    """The profile entry of a labgrid serial resource: its device node, or
    rfc2217://HOST:PORT / tcp://HOST:PORT for an exported port."""
    if resource is None:
        return None
    if type(resource).__name__ == "NetworkSerialPort":
        scheme = NETWORK_SCHEMES.get(resource.protocol)
        if scheme is None:
            raise ValueError(f"NetworkSerialPort protocol {resource.protocol!r} is neither rfc2217 nor raw")
        host = f"[{resource.host}]" if ":" in resource.host else resource.host
        return f"{scheme}://{host}:{resource.port}"
    return resource.port


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
            lines.append(f"RIL1: = {self.ril}")
        if self.at_port is not None:
            lines += ["[registry]", "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2"]
        if self.kernel:
            lines += ["[kernel]", f"KernelIoControl = {self.kernel}"]
        if self.reset:
            lines += ["[radio]", f"reset = COM1: {self.reset}"]
        lines += ["[handset]", f"simulated = {'true' if self.simulated else 'false'}"]
        return "\n".join(lines) + "\n"

    @Driver.check_active
    @step(title="firmware-update", result=True)
    def update(self, station=None):
        """Runs one update to its end; returns an UpdateResult (never raises for a failed
        run: the outcome says how it ended)."""
        with tempfile.TemporaryDirectory(prefix="fwu-labgrid-") as directory:
            profile = os.path.join(directory, "profile")
            record = os.path.join(directory, "record.jsonl")
            with open(profile, "w", encoding="utf-8") as out:
                out.write(self.profile_text())
            command = [self.program, "update", "--profile", profile, "--events", "-", "--record", record]
            if self.firmware:
                command += ["--firmware", self.firmware]
            if station:
                command += ["--station", station]
            command += [str(option) for option in self.options]
            self.logger.debug("running %s", " ".join(command))
            events, stderr = self._run(command)
            exit_code = self._process.returncode
            record_line = None
            if os.path.exists(record):
                with open(record, encoding="utf-8") as lines:
                    text = [line for line in lines if line.strip()]
                if text:
                    record_line = json.loads(text[-1])
        ends = [event for event in events if event.get("event") == "run_end"]
        outcome = ends[-1].get("outcome") if ends else "not_started"
        return UpdateResult(outcome=outcome, exit_code=exit_code, record=record_line, events=events, stderr=stderr)

    def _run(self, command):
        """Runs the program, each event a step event as it comes; stages are steps."""
        events, stage = [], None
        self._process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         stdin=subprocess.DEVNULL, text=True)
        current = steps.get_current()
        for line in self._process.stdout:
            try:
                event = json.loads(line)
            except ValueError:
                continue
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
        if stage is not None:  # the run ended inside a stage (module lost)
            stage.stop()
        stderr = self._process.stderr.read()
        self._process.wait()
        return events, stderr
