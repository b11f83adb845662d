"""The scripts' Python side: tools.faults, the fault-injection and soak
suite (python3 -m tools.faults.run, from the repository's root)."""
