"""The fleet server's configuration file (trm-hub's TOML, trm-hub.toml(5))
from keyword arguments: one argument per section, a dict of its keys, or
a list of dicts for an array of tables ([[exposure]]); values are strings,
numbers, booleans or lists of them, and None leaves a key or a section out.

    hubconf.write(path, hub={"id": "bench"}, gateways={"listen": "127.0.0.1:0"},
                  registry={"path": db}, exposure=[{"gateway": gw, "port": 1, ...}])
"""

import json


def value(v):
    """One value in TOML's notation."""
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, (int, float)):
        return repr(v)
    if isinstance(v, str):
        return json.dumps(v)  # a TOML basic string: its escapes are JSON's
    if isinstance(v, (list, tuple)):
        return "[%s]" % ", ".join(value(x) for x in v)
    raise TypeError("no TOML form for %r" % (v,))


def text(**sections):
    """The file's text, sections in the order given."""
    lines = []
    for name, body in sections.items():
        if body is None:
            continue
        array = isinstance(body, (list, tuple))
        for table in body if array else [body]:
            lines.append(("[[%s]]" if array else "[%s]") % name)
            lines += ["%s = %s" % (k, value(v)) for k, v in table.items() if v is not None]
    return "\n".join(lines) + "\n"


def write(path, **sections):
    """Writes text(**sections) to `path`; returns the path."""
    with open(path, "w") as f:
        f.write(text(**sections))
    return path
