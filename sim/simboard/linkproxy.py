"""The cellular link of the simulated board: a TCP relay between the gateway
daemon and the server console that can fail on demand.

States:
  up       relays both ways
  stalled  keeps the connection but stops relaying (the server "hangs"):
           the gateway's writes back up until its send time-outs fire
  down     drops every connection and refuses new ones (server unreachable)
"""

import selectors
import socket
import threading

UP, STALLED, DOWN = "up", "stalled", "down"


class LinkProxy:
    def __init__(self, target_port, listen_port=0, log=print):
        self.target = ("127.0.0.1", target_port)
        self.listen_port = listen_port
        self.log = log
        self.state = UP
        self.pairs = []          # (gateway side, server side)
        self.listener = None
        self.lock = threading.Lock()
        self.sel = selectors.DefaultSelector()
        self.stopping = False
        self._listen()
        self.thread = threading.Thread(target=self._run, name="linkproxy", daemon=True)
        self.thread.start()

    # --- control -----------------------------------------------------------
    def set_state(self, state):
        with self.lock:
            old, self.state = self.state, state
            if state == DOWN:
                # The port first: a gateway reconnecting at once after the
                # drop is refused, not taken into the backlog and then reset.
                if self.listener is not None:
                    self.sel.unregister(self.listener)
                    self.listener.close()
                    self.listener = None
                self._drop_all()
            elif old == DOWN:
                self._listen()
        self.log("link: %s" % state)

    def connections(self):
        with self.lock:
            return len(self.pairs)

    def close(self):
        self.stopping = True
        self.thread.join(timeout=2)
        with self.lock:
            self._drop_all()
            if self.listener is not None:
                self.listener.close()

    # --- internals ---------------------------------------------------------
    def _listen(self):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        # A small window towards the gateway, as on a cellular link, so a
        # stalled server shows in the gateway's writes within seconds.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.bind(("127.0.0.1", self.listen_port))
        s.listen(8)
        s.setblocking(False)
        self.listen_port = s.getsockname()[1]
        self.listener = s
        self.sel.register(s, selectors.EVENT_READ, ("accept", None))

    def _drop_all(self):
        for a, b in self.pairs:
            for s in (a, b):
                try:
                    self.sel.unregister(s)
                except (KeyError, ValueError):
                    pass
                s.close()
        self.pairs = []

    def _accept(self):
        gw, _ = self.listener.accept()
        try:
            srv = socket.create_connection(self.target, timeout=2)
        except OSError as e:
            self.log("link: server console unreachable (%s)" % e)
            gw.close()
            return
        for s in (gw, srv):
            s.setblocking(False)
        self.pairs.append((gw, srv))
        self.sel.register(gw, selectors.EVENT_READ, ("relay", srv))
        self.sel.register(srv, selectors.EVENT_READ, ("relay", gw))

    def _relay(self, src, dst):
        try:
            data = src.recv(65536)
        except OSError:
            data = b""
        if not data:
            for pair in list(self.pairs):
                if src in pair:
                    self.pairs.remove(pair)
                    for s in pair:
                        try:
                            self.sel.unregister(s)
                        except (KeyError, ValueError):
                            pass
                        s.close()
            return
        dst.setblocking(True)
        try:
            dst.sendall(data)
        except OSError:
            pass
        dst.setblocking(False)

    def _run(self):
        while not self.stopping:
            with self.lock:
                events = self.sel.select(timeout=0.05) if self.sel.get_map() else []
                if self.state == STALLED:
                    events = [(k, m) for k, m in events if k.data[0] == "accept"]
                for key, _ in events:
                    kind, peer = key.data
                    if kind == "accept" and self.listener is not None:
                        self._accept()
                    elif kind == "relay":
                        self._relay(key.fileobj, peer)
            if not events:
                threading.Event().wait(0.01)
