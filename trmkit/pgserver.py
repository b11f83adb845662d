"""A PostgreSQL server of a test's own: initdb in a temporary folder, the
server listening on a Unix socket in that folder only (and, when asked, on
127.0.0.1 at a free port), started and stopped by its PID, never through
the package's service. initdb and the server refuse root: as root they run
as the package's postgres user. The binaries are found without PATH
(pg_config --bindir, or /usr/lib/postgresql/<version>/bin)."""

import glob
import os
import pwd
import shutil
import signal
import subprocess
import tempfile

from .ports import free_port
from .procs import children, end, spawn
from .wait import wait_until


def bindir():
    """The folder of initdb, postgres and psql; None when not installed."""
    try:
        out = subprocess.run(["pg_config", "--bindir"], capture_output=True, text=True, timeout=10).stdout.strip()
        if os.path.exists(os.path.join(out, "initdb")):
            return out
    except OSError:
        pass
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"))
    return os.path.dirname(found[-1]) if found else None


class PgServer:
    """server = PgServer(); server.conninfo("trm"); server.restart(); server.close()."""

    def __init__(self, tcp=False):
        self.bin = bindir()
        if self.bin is None:
            raise FileNotFoundError("PostgreSQL is not installed (tools/install-deps.sh)")
        self.dir = tempfile.mkdtemp(prefix="pgserver-")
        self.user = None
        if os.geteuid() == 0:
            self.user = pwd.getpwnam("postgres")
            os.chown(self.dir, self.user.pw_uid, self.user.pw_gid)
        self.data, self.port, self.proc = os.path.join(self.dir, "data"), 5432, None
        if tcp:
            self.port = free_port()
        self.tcp = tcp
        try:
            self._run([os.path.join(self.bin, "initdb"), "-D", self.data, "-A", "trust", "-U", "postgres",
                       "--no-sync"], check=True)
            self.start()
        except BaseException:
            self.close()
            raise

    def _as_owner(self):
        return {"user": self.user.pw_uid, "group": self.user.pw_gid, "extra_groups": []} if self.user else {}

    def _run(self, argv, **kw):
        return subprocess.run(argv, cwd=self.dir, capture_output=True, text=True, timeout=60, **kw,
                              **self._as_owner())

    def start(self):
        """The server on the same folder, socket and port as before."""
        argv = [os.path.join(self.bin, "postgres"), "-D", self.data, "-k", self.dir, "-p", str(self.port),
                "-c", "listen_addresses=%s" % ("127.0.0.1" if self.tcp else ""), "-c", "fsync=off"]
        self.log = open(os.path.join(self.dir, "server.log"), "ab")
        self.proc = spawn(argv, self.dir, stdout=self.log, **self._as_owner())

        def answers():
            if self.proc.poll() is not None:
                raise RuntimeError("PostgreSQL ended at start: see %s/server.log" % self.dir)
            return self.sql("SELECT 1", check=False) == [["1"]]
        wait_until(answers, 30, step=0.1, what="PostgreSQL to answer (see %s/server.log)" % self.dir)

    def stop(self, how=signal.SIGINT):
        """Stops the server by its PID: SIGINT a fast shutdown, SIGKILL a crash."""
        if not self.proc:
            return
        left = children(self.proc.pid) if self.proc.poll() is None else []
        end(self.proc, how, grace=60, group=False)
        # after a crash its children outlive it briefly, holding the shared
        # memory a new server must find free
        wait_until(lambda: not any(os.path.exists("/proc/%d" % pid) for pid in left), 30,
                   step=0.02, what="the PostgreSQL server's processes to end")
        self.log.close()

    def restart(self, how=signal.SIGINT):
        self.stop(how)
        self.start()

    def close(self):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    def conninfo(self, db="postgres"):
        """libpq's key=value form, over the Unix socket."""
        return "host=%s port=%d user=postgres dbname=%s" % (self.dir, self.port, db)

    def url(self, db="postgres"):
        """A postgresql:// URL over TCP (the server started with tcp=True)."""
        return "postgresql://postgres@127.0.0.1:%d/%s" % (self.port, db)

    def create_db(self, name):
        self.sql("CREATE DATABASE %s" % name)
        return self.conninfo(name)

    def sql(self, query, db="postgres", check=True, timeout=60):
        """Rows of one query, as lists of text (psql -At)."""
        r = subprocess.run([os.path.join(self.bin, "psql"), "-At", "-F", "\t", "-X", "-d", self.conninfo(db),
                            "-c", query], capture_output=True, text=True, timeout=timeout)
        if check and r.returncode != 0:
            raise RuntimeError("psql: %s" % r.stderr.strip())
        return [line.split("\t") for line in r.stdout.splitlines()] if r.returncode == 0 else None
