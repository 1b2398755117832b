"""The labgrid driver against the simulated handset, through labgrid's pytest plugin
(--lg-env): target "main" is the handset's module link and AT port (local ptys, or the same
exported by ser2net), target "gone" a port that does not answer."""

import pytest

from firmware_utility_labgrid import FirmwareUtilityDriver


@pytest.fixture
def flasher(target):
    driver = target.get_driver(FirmwareUtilityDriver)
    target.activate(driver)
    return driver


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


def test_a_module_that_is_never_reset_fails_the_run(flasher):
    # The radio driver refuses every reset: the module's boot ROM never answers.
    flasher.ril = "exec:/bin/false"
    flasher.options = ["--attempts", "1", "--module-timeout", "1"]
    result = flasher.update()
    assert result.exit_code == 1
    assert result.outcome == "gave_up"
    assert result.record["outcome"] == "gave_up"
    assert "reset failed" in result.stderr


def test_a_port_that_is_gone_fails_the_run_before_anything_is_sent(env):
    target = env.get_target("gone")
    driver = target.get_driver(FirmwareUtilityDriver)
    target.activate(driver)
    result = driver.update()
    assert result.exit_code == 1
    assert result.outcome != "verified"
    assert "did not open" in result.stderr or "COM1:" in result.stderr, result.stderr
    assert not any(event["event"] == "stage_start" for event in result.events)
