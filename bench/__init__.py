"""The benchmark suite (bench/run.sh: python3 -m bench.bench) and the fleet
benchmarks (bench.hub, bench.fleet), run as modules from the repository's root."""
