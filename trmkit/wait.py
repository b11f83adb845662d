"""Waiting on a condition: polled with a step, bounded by a timeout, and
an error that says what was waited for."""

import os
import time


class WaitTimeout(AssertionError, TimeoutError):
    """A wait that ran out: a failure to a test (AssertionError), a time-out
    to a benchmark or a simulation (TimeoutError)."""


def poll_until(cond, timeout=30.0, step=0.05):
    """Calls cond() until it gives a true value or `timeout` seconds pass;
    returns that value, or the last false one."""
    deadline = time.monotonic() + timeout
    while True:
        value = cond()
        if value or time.monotonic() >= deadline:
            return value
        if step:
            time.sleep(min(step, max(0.0, deadline - time.monotonic())))


def wait_until(cond, timeout=30.0, *, step=0.05, what="the condition"):
    """Like poll_until, but a timeout raises WaitTimeout naming `what`."""
    value = poll_until(cond, timeout, step)
    if not value:
        raise WaitTimeout("timed out after %gs waiting for %s" % (timeout, what))
    return value


def wait_path(path, timeout=10.0, step=0.01):
    """Waits until `path` exists (a link a program makes, a socket file)."""
    wait_until(lambda: os.path.exists(path), timeout, step=step, what="%s to appear" % path)
