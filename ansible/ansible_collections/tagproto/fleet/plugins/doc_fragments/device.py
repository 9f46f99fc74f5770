# -*- coding: utf-8 -*-
# The options naming the device and the exchange, shared by every module.
from __future__ import absolute_import, division, print_function

__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r"""
options:
  host:
    description:
      - Address of the device, IPv4, IPv6 or a host name; usually C({{ ansible_host }}).
      - One of I(host) and I(target) is required.
    type: str
  port:
    description:
      - UDP port of the device, with I(host).
    type: int
    default: 60000
  target:
    description:
      - The device as C(host:port), C([v6]:port), C(host) or a bare IPv6 address, instead of I(host) and I(port).
    type: str
  timeout:
    description:
      - Seconds an attempt waits for its reply while the device has not yet shown how fast it answers, and the
        longest wait of a first attempt; once it has answered, its round trips set a shorter wait. Each further
        attempt waits up to twice the one before, at most four times I(timeout).
    type: float
    default: 2.0
  retries:
    description:
      - How many times a request is sent again after a time-out.
    type: int
    default: 2
notes:
  - "The module runs on the controller and talks to the device over UDP: use C(connection: local) or
    C(delegate_to: localhost). Set I(host) and I(port) for every module of the collection at once with
    C(module_defaults) and the group C(group/tagproto.fleet.devices)."
  - The controller needs the C(tagproto) Python package (Debian package C(python3-tagproto)).
requirements:
  - tagproto (Python package)
"""
