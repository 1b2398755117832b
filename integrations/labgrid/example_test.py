"""A lab's test with the driver: flashes the module of the environment's target and checks that
it runs the payload set's revision afterwards. From the project root:

    PYTHONPATH=integrations/labgrid pytest --lg-env integrations/labgrid/example-env.yaml integrations/labgrid/example_test.py
"""

from firmware_utility_labgrid import FirmwareUtilityDriver


def test_the_module_runs_the_new_firmware(target):
    flasher = target.get_driver(FirmwareUtilityDriver)
    target.activate(flasher)
    result = flasher.update(station=target.name)
    assert result.outcome == "verified", result.stderr
    assert result.revision_after == result.record["expected_revision"]
