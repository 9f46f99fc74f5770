# -*- coding: utf-8 -*-
# Shared by tag_config and tag_facts: the options naming the device, the
# import of the tagproto package, and tag values turned into what Ansible
# can hold (JSON) and show.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

import struct
import traceback

try:
    import tagproto

    TAGPROTO_IMPORT_ERROR = None
except ImportError:
    tagproto = None
    TAGPROTO_IMPORT_ERROR = traceback.format_exc()

DEFAULT_PORT = 60000

# The options every module of the collection takes; the device doc fragment
# documents them.
DEVICE_ARGS = dict(
    host=dict(type="str"),
    port=dict(type="int", default=DEFAULT_PORT),
    target=dict(type="str"),
    timeout=dict(type="float", default=2.0),
    retries=dict(type="int", default=2),
)


def device_spec(**more):
    spec = dict(DEVICE_ARGS)
    spec.update(more)
    return dict(argument_spec=spec, required_one_of=[("host", "target")], mutually_exclusive=[("host", "target")])


def require_tagproto(module):
    if tagproto is None:
        module.fail_json(
            msg="the tagproto Python package is not installed on the controller (Debian: python3-tagproto)",
            exception=TAGPROTO_IMPORT_ERROR,
        )


def tag_of(name):
    """The table's entry for a name or id from the playbook, with tagconf's
    message for one it lacks."""
    try:
        return tagproto.tag(name)
    except (KeyError, ValueError):
        raise ValueError("unknown tag %s" % name)


def target_of(params):
    """The address the package is given: target as it is, or host and port
    (an IPv6 host in brackets)."""
    if params.get("target"):
        return params["target"]
    host = params["host"]
    port = params["port"]
    if not 0 < port < 65536:
        raise ValueError("port %d is not a UDP port (1 to 65535)" % port)
    if ":" in host and not host.startswith("["):
        host = "[%s]" % host
    return "%s:%d" % (host, port)


def reason(error):
    """Why an exchange failed, without the target the package's message
    starts with (the modules' messages name it first)."""
    text = str(error)
    target = getattr(error, "target", None)
    if target and text.startswith(target + ": "):
        text = text[len(target) + 2:]
    return text


def float_bits(value):
    """A float as the 32 bits the device holds: values are compared this way."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


def shown_float(value):
    """The shortest decimal that is the same 32-bit float: 0.1 rather than
    0.10000000149011612, which is what the device's bits read as."""
    if value != value or value in (float("inf"), float("-inf")):
        return value
    bits = float_bits(value)
    for digits in range(1, 10):
        shorter = float("%.*g" % (digits, value))
        if float_bits(shorter) == bits:
            return shorter
    return value


def shown(value):
    """A read value as Ansible holds it: texts that are not UTF-8 keep their
    bytes as \\x escapes, floats their shortest form."""
    if isinstance(value, bytes):
        return value.decode("utf-8", "backslashreplace")
    if isinstance(value, float):
        return shown_float(value)
    return value


def shown_all(values):
    return dict((name, shown(value)) for name, value in values.items())
