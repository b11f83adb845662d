"""GnuTLS's tools as a second TLS stack against both ends of the secure
link and the hub's HTTPS: gnutls-cli as a gateway or an API client,
gnutls-serv as the hub (gnutls-bin; tools/install-deps.sh installs it).

gnutls-serv has no option for the address it listens on (it takes every
address of the host): OwnNetwork gives it, and what talks to it, a network
namespace of the test's own with nothing but a loopback."""

import shutil
import subprocess

PACKAGE = "gnutls-bin"
# What the ends must refuse: TLS below 1.2, and a CBC (non-AEAD) cipher.
WEAK = {"TLS 1.1": "NORMAL:-VERS-ALL:+VERS-TLS1.1",
        "CBC": "NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-CBC:+AES-256-CBC"}
TLS12_AEAD = "NORMAL:-VERS-ALL:+VERS-TLS1.2:-CIPHER-ALL:+AES-128-GCM:+CHACHA20-POLY1305"
DONE = b"- Handshake was completed"


def need(case, tool="gnutls-cli"):
    """Skips `case` when the tool is missing, naming the package."""
    if shutil.which(tool) is None:
        case.skipTest("%s is not installed (package %s; tools/install-deps.sh installs it)"
                      % (tool, PACKAGE))


def cli(port, ca, cert=None, key=None, priority=None):
    """gnutls-cli's argv for 127.0.0.1:port, the server checked against `ca`."""
    argv = ["gnutls-cli", "-p", str(port), "127.0.0.1", "--x509cafile", ca]
    if cert:
        argv += ["--x509certfile", cert, "--x509keyfile", key]
    return argv + (["--priority", priority] if priority else [])


def talk(argv, data=b"", timeout=15):
    """Runs gnutls-cli with `data` on its input; (exit status, its output)."""
    r = subprocess.run(argv, input=data, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                       timeout=timeout)
    return r.returncode, r.stdout


def serv(port, cert, key, ca):
    """gnutls-serv's argv: an echo server on `port` that wants a client
    certificate of `ca`."""
    return ["gnutls-serv", "-p", str(port), "--echo", "--x509certfile", cert,
            "--x509keyfile", key, "--x509cafile", ca, "--require-client-cert",
            "--verify-client-cert"]


class OwnNetwork:
    """A network namespace of the test's own, made by a holder process
    (unshare, unprivileged where user namespaces are allowed); programs join
    it through nsenter. Everything is started in the sandbox `sb` and so
    ended by PID with it."""

    def __init__(self, case, sb, seconds=300):
        if shutil.which("unshare") is None or shutil.which("nsenter") is None:
            case.skipTest("no unshare/nsenter (util-linux)")
        probe = subprocess.run(["unshare", "--user", "--map-root-user", "--net", "true"],
                               capture_output=True, timeout=10)
        if probe.returncode != 0:
            case.skipTest("no network namespaces here: %s" % probe.stderr.decode().strip())
        self.sb = sb
        self.holder = sb.start_host(["unshare", "--user", "--map-root-user", "--net", "--", "sh",
                                     "-c", "ip link set lo up && echo up && exec sleep %d" % seconds])
        self.holder.wait_for(rb"up\n", 10)

    def start(self, argv):
        """Starts argv in the namespace (a Process of the sandbox)."""
        return self.sb.start_host(["nsenter", "-t", str(self.holder.pid), "--user", "--net",
                                   "--preserve-credentials", "--"] + list(argv))
