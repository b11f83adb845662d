"""The fleet simulator's own capacity: python3 -m bench.fleet.capacity."""
