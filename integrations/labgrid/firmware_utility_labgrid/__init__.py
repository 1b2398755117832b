"""labgrid driver for Firmware Utility: flashes a handset's radio module through a serial
resource of a labgrid place (local, USB or exported over the network by ser2net)."""

from .driver import FirmwareUtilityDriver, UpdateResult, port_entry

__all__ = ["FirmwareUtilityDriver", "UpdateResult", "port_entry"]
