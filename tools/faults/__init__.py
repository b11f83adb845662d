"""The fault-injection and soak suite of the gateway daemon: python3 -m
tools.faults.run from the repository's root (docs/testing.md)."""
