"""The simulated board: python3 -m sim.simboard.simboard (tools/simboard.sh)."""
