"""The simulated board's secure link: the keys, the hub's settings and the
board's files.

The keys are made once with tools/trm-pki.sh and kept between runs in a
folder of the build (<build>/simboard-pki): a factory CA, the hub's key and
certificate it signs (for the name HUB_NAME), and the gateway's factory
pair naming GATEWAY_ID, as a board leaves the factory with. The hub trusts
the factory CA, so the gateway is admitted at once; the board checks the
hub by its pin and by the CA and name. Only public facts (the hub's pin,
the gateway's fingerprint) are ever shown."""

import os
import shutil
import subprocess

from trmkit.procs import ROOT

PKI = os.path.join(ROOT, "tools", "trm-pki.sh")
HUB_NAME = "simboard-hub"
TLS_INI = "/quarne/qysc/tls.ini"
HUB_CA = "/quarne/qysc/hubca.pem"
GW_PAIR = "/quarne/qysc/tls/gateway."
PKI_S = 60


class Keys:
    """The key folder's files; made there on the first run."""

    def __init__(self, folder, gateway_id):
        self.dir = os.path.abspath(folder)
        self.made = not os.path.exists(self.path("gateway", "gateway.crt"))
        if self.made:
            make(self.dir, gateway_id)
        self.hub_pin = pki("pin", self.path("hub", "hub.crt"))
        self.gateway_fp = pki("pin", self.path("gateway", "gateway.crt"))

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def hub_gateways(self):
        """The hub's [gateways] section: the TLS port only."""
        return {"listen": "off", "tls_listen": "127.0.0.1:0",
                "tls_cert": self.path("hub", "hub.crt"), "tls_key": self.path("hub", "hub.key"),
                "tls_ca": self.path("ca", "ca.crt")}

    def board_files(self, board):
        """tls.ini, the hub's CA and the gateway's pair in the board's folder;
        `board` maps a board path to the sandbox's."""
        for to, src in ((GW_PAIR + "key", ("gateway", "gateway.key")),
                        (GW_PAIR + "crt", ("gateway", "gateway.crt")), (HUB_CA, ("ca", "ca.crt"))):
            os.makedirs(os.path.dirname(board(to)), exist_ok=True)
            shutil.copyfile(self.path(*src), board(to))
        os.chmod(board(GW_PAIR + "key"), 0o600)
        with open(board(TLS_INI), "w") as f:
            f.write("enable=1\r\npin=%s\r\nca=%s\r\nname=%s\r\n" % (self.hub_pin, HUB_CA, HUB_NAME))


def pki(*args):
    """trm-pki.sh's last word: a path, a pin or a fingerprint."""
    try:
        out = subprocess.run([PKI] + list(args), check=True, capture_output=True, text=True,
                             timeout=PKI_S).stdout
    except subprocess.CalledProcessError as e:
        raise RuntimeError("trm-pki.sh %s failed: %s" % (args[0], e.stderr.strip()))
    except (OSError, subprocess.TimeoutExpired) as e:
        raise RuntimeError("trm-pki.sh %s: %s" % (args[0], e))
    return out.rsplit(" ", 1)[-1].strip()


def make(folder, gateway_id):
    """The keys in a new folder beside `folder`, then renamed into place: a
    run stopped half-way, or two first runs at once, leave no half a set."""
    parent = os.path.dirname(folder)
    os.makedirs(parent, exist_ok=True)
    new = "%s.new-%d" % (folder, os.getpid())
    shutil.rmtree(new, ignore_errors=True)
    try:
        ca = os.path.join(new, "ca")
        pki("ca", ca, "--name", "simulated factory CA")
        pki("hub", os.path.join(new, "hub"), "--name", HUB_NAME, "--ca", ca)
        pki("gateway", os.path.join(new, "gateway"), "--id", gateway_id, "--ca", ca)
        os.rename(new, folder)
    except OSError:
        if not os.path.exists(os.path.join(folder, "gateway", "gateway.crt")):
            raise
    finally:
        shutil.rmtree(new, ignore_errors=True)
