"""The simulations' Python side: sim.simboard (the simulated board) and
sim.cellpath (the emulated cellular path's check); run as modules from the
repository's root (python3 -m sim.cellpath.validate)."""
