"""The labgrid driver against the simulated handset, through labgrid's pytest plugin
(--lg-env): target "main" is the handset's module link and AT port (local ptys, or the same
exported by ser2net), target "gone" the same AT port and a link that does not open."""

import pytest
from labgrid.resource import NetworkSerialPort

from firmware_utility_labgrid import FirmwareUtilityDriver, port_entry

SETTINGS = ("ril", "kernel", "reset", "options", "timeout")


@pytest.fixture
def flasher(target):
    driver = target.get_driver(FirmwareUtilityDriver)
    target.activate(driver)
    saved = {name: getattr(driver, name) for name in SETTINGS}
    saved_port = driver.port.port
    yield driver
    for name, value in saved.items():
        setattr(driver, name, value)
    driver.port.port = saved_port


def test_update_is_verified_with_the_revisions_read(flasher):
    result = flasher.update(station="labgrid")
    assert result.exit_code == 0, result.stderr
    assert result.outcome == "verified"
    assert result.record["outcome"] == "verified"
    assert result.revision_after == "V.4.2.0"
    assert result.signer is None  # the built-in set carries no signature
    assert result.revision_before
    names = [event["event"] for event in result.events]
    assert names[0] == "run_start" and names[-1] == "run_end"
    assert names.count("stage_end") == 3
    assert all(event.get("station") == "labgrid" for event in result.events)


def test_a_trace_on_stderr_does_not_stall_the_run(flasher):
    # The trace on stderr, each line timed: more than a pipe holds (64 KiB).
    flasher.options = ["--trace", "-", "--trace-time"]
    flasher.timeout = 120
    result = flasher.update()
    assert result.outcome == "verified", result.stderr[-2000:]
    assert len(result.stderr) > 1 << 16
    assert "Open : COM1:" in result.stderr


def test_a_run_past_its_bound_is_stopped(flasher):
    # The reset reaches no module: the handshake would wait without end.
    flasher.ril = "exec:/bin/true"
    flasher.options = ["--attempts", "0", "--module-timeout", "1"]
    flasher.timeout = 3
    result = flasher.update()
    assert result.outcome == "timed_out"
    assert result.exit_code == 1, result.stderr
    assert result.events[-1]["outcome"] == "interrupted"


def test_a_module_that_is_never_reset_fails_the_run(flasher):
    # The radio driver refuses every reset: the module's boot ROM never answers.
    flasher.ril = "exec:/bin/false"
    flasher.options = ["--attempts", "1", "--module-timeout", "1"]
    result = flasher.update()
    assert result.exit_code == 1
    assert result.outcome == "gave_up"
    assert result.record["outcome"] == "gave_up"
    assert "firmware-utility: RIL1: (/bin/false): reset failed: exited with status 1" in result.stderr


def test_a_port_that_is_gone_fails_the_run_before_anything_is_sent(env):
    target = env.get_target("gone")
    driver = target.get_driver(FirmwareUtilityDriver)
    target.activate(driver)
    result = driver.update()
    assert result.exit_code == 1
    assert result.outcome == "failed"
    assert result.record["reason"] == "the module link COM1: did not open"
    local = type(driver.port).__name__ == "RawSerialPort"
    reason = "No such file or directory: no such device" if local else "Connection refused: nobody listens"
    assert f"firmware-utility: COM1: ({port_entry(driver.port)}): {reason}" in result.stderr, result.stderr
    assert not any(event["event"] == "stage_start" for event in result.events)


BAD_VALUES = ["x\n[kernel]", "x\rCOM2: = y", "x\x1b[2J", "x\x00", "x ; cut", "x # cut", "[devices]", "=x"]


@pytest.mark.parametrize("setting", ["ril", "kernel", "reset", "port"])
@pytest.mark.parametrize("value", BAD_VALUES)
def test_a_value_a_profile_cannot_hold_is_refused_before_the_run(flasher, setting, value):
    flasher._process = None
    if setting == "port":
        if type(flasher.port).__name__ == "NetworkSerialPort":
            pytest.skip("a network port's value is a host, below")
        flasher.port.port = value
    else:
        setattr(flasher, setting, value)
    with pytest.raises(ValueError, match=f"FirmwareUtilityDriver: .*{setting} (holds|is empty)"):
        flasher.update()
    assert flasher._process is None


@pytest.mark.parametrize("host", ["127.0.0.1,23003", "exporter\n", "a b", "", "-lab", "host/x"])
def test_a_network_host_that_is_no_host_is_refused(host):
    with pytest.raises(ValueError, match="host is no host name or address"):
        port_entry(NetworkSerialPort(None, "link", host=host, port=3001))


@pytest.mark.parametrize("host,entry", [("exporter-3.lab", "rfc2217://exporter-3.lab:3001"),
                                        ("10.1.2.3", "rfc2217://10.1.2.3:3001"),
                                        ("fd00::7", "rfc2217://[fd00::7]:3001")])
def test_a_network_host_becomes_the_entry(host, entry):
    assert port_entry(NetworkSerialPort(None, "link", host=host, port=3001)) == entry
