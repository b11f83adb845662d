"""trmkit: the Python harness every test, benchmark, simulation and the
fault suite import (one module a concern, nothing run at import):

  ports      free_port (lasting=True: one a restarted server can bind
             again), accepts, listening
  wait       poll_until, wait_until (WaitTimeout names what was waited
             for), wait_path
  procs      programs started in a session of their own and ended by
             their PID (SIGTERM, then SIGKILL): spawn, end, wait_port,
             Process (a polled pipe), LineProcess (a thread reads lines),
             FileProcess (output to a file)
  sandbox    the board's file tree in a temporary folder, pseudo-terminals
             as serial lines, the register file, the sandbox programs;
             the daemon's configuration file (daemon_config)
  gwserver   the server end of the gateway link (the daemon's peer)
  gwcase     the unittest base of the tests that run the real daemon
  tlspeer    the hub's end of the secure link: certificates (Pki), the
             server end inside TLS 1.2, a certificate's pin
  gnutls     GnuTLS's tools (gnutls-cli, gnutls-serv) as a second TLS
             stack, and a network namespace of the test's own for them
  fakegw     a fake gateway (the server programs' peer)
  modem      the simulated modem on a sandbox's modem device
  hubconf    the fleet server's TOML configuration from keyword arguments
  mosquitto  an MQTT broker of the run's own
  pgserver   a PostgreSQL server of the run's own
  netns      network namespaces of the run's own, and the fault suite's
             paths (loopback, veth, the emulated cellular path)
  cellpath   the emulated cellular path's relay (trm-cellpath)
  browser    headless Chromium over its DevTools pipe
  modbus     Modbus RTU framing (crc16, rtu)

Found through PYTHONPATH=<repository root> (CTest sets it for every
Python test), or by running a script as a module from the repository's
root (python3 -m tools.faults.run); see docs/testing.md.
"""
