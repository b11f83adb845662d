"""The fleet server's benchmarks: python3 -m bench.hub.run, .cluster, .jobs, .pages."""
