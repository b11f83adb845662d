"""The emulated cellular path's check against its profiles: python3 -m
sim.cellpath.validate (the relay's Python side is trmkit.cellpath)."""
