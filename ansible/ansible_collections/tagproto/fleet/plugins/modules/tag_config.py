# -*- coding: utf-8 -*-
# Brings one device's tags to the values a playbook gives: reads them, writes
# only those that differ with a verified write, and reports before and after.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: tag_config
short_description: Set tags of a UDP tag protocol device to the values given
version_added: 0.1.0
description:
  - Reads the tags named in I(tags) from the device, writes only those whose value differs, and reads
    them back to check that the device holds them (a verified write). A second run with the same
    values reports no change and sends no write.
  - In check mode the tags are read and the changes reported; nothing is written.
  - In diff mode each tag that differs is shown with its value before and after.
  - Values are checked before anything is sent; an unknown tag, a group tag or a value that does not
    fit the tag fails the task with the message tagconf gives for it.
extends_documentation_fragment:
  - tagproto.fleet.device
options:
  tags:
    description:
      - The tags to set, tag name (case ignored) to value.
      - A YAML number given to an integer or float tag is that number (C(26) is twenty-six).
      - A string is read as tagconf reads a state file and the client its command line, so integers in
        a string are hexadecimal (C("1A") is twenty-six) and floats decimal; a text tag takes the string
        as it is. A number given to a text tag is written as its decimal digits.
    type: dict
    required: true
attributes:
  check_mode:
    support: full
  diff_mode:
    support: full
author:
  - The tagclient authors
"""

EXAMPLES = r"""
- name: Label the devices and set their sample rate
  hosts: devices
  connection: local
  gather_facts: false
  module_defaults:
    group/tagproto.fleet.devices:
      host: "{{ ansible_host }}"
      port: "{{ tag_port | default(60000) }}"
  tasks:
    - name: Set label, state and gain
      tagproto.fleet.tag_config:
        tags:
          TAG_DEV_LABEL: "Rack {{ inventory_hostname }}"
          TAG_DEV_STATE: 26          # a number: twenty-six
          TAG_AI_SAMPLE_RATE: "1A"   # a string: hexadecimal, as tagconf reads it
          TAG_IO_GAIN: 0.25

- name: One device by its full address, with shorter waits
  tagproto.fleet.tag_config:
    target: "[::1]:60001"
    timeout: 0.5
    retries: 4
    tags:
      TAG_DEV_STATE: 1
  delegate_to: localhost
"""

RETURN = r"""
target:
  description: The address the device was asked at.
  returned: always
  type: str
  sample: "127.0.0.1:60000"
before:
  description: What the device held for each tag of I(tags) before the task, by the tag's name.
  returned: when the device answered
  type: dict
  sample: {"TAG_DEV_LABEL": "Demo rack controller", "TAG_DEV_STATE": 1}
written:
  description:
    - The tags written (or, in check mode, that would be written) and their values.
    - Empty when the device already held every value.
  returned: when the device answered
  type: dict
  sample: {"TAG_DEV_STATE": 26}
after:
  description: What the device read back after the write, for the tags written.
  returned: when tags were written
  type: dict
  sample: {"TAG_DEV_STATE": 26}
mismatches:
  description: For each tag the device did not take, the value written and the value read back
    (null when the read-back lacked the tag).
  returned: when the verified write found a difference
  type: dict
  sample: {"TAG_DEV_LABEL": {"written": "Rack 1", "read": "Demo rack controller"}}
status:
  description: The failed exchange's status word, such as C(timed_out), C(refused) or C(mismatch).
  returned: on failure to reach the device or to write
  type: str
  sample: timed_out
diff:
  description: The tags that differ, one line each, C(NAME) then the value, before and after.
  returned: in diff mode when a tag differs
  type: dict
"""

import json

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tagproto.fleet.plugins.module_utils.device import (
    device_spec,
    float_bits,
    reason,
    require_tagproto,
    shown,
    shown_all,
    tag_of,
    tagproto,
    target_of,
)


def desired_value(tag, value):
    """The playbook's value as the package writes it. Every value goes through
    the package's reading of tagconf's text, so that what does not fit fails
    with tagconf's message; a number is first written as that text."""
    if value is None:
        raise ValueError('%s has no value (an empty text is "")' % tag.name)
    if isinstance(value, bool) or isinstance(value, (list, dict)):
        raise ValueError("bad value %s for %s: give a number or a string" % (json.dumps(value), tag.name))
    if isinstance(value, int) and tag.kind == "integer":
        text = ("-%X" if value < 0 else "%X") % abs(value)
        try:
            return tagproto.parse_value(tag.name, text)
        except ValueError as error:
            raise ValueError("%s (the playbook's %d)" % (error, value))
    if isinstance(value, float):
        text = repr(value)
    else:
        text = str(value)
    return tagproto.parse_value(tag.name, text)


def same(kind, held, wanted):
    """Whether the device's value is the wanted one, compared as the tag's kind holds it."""
    if held is None:
        return False
    if kind == "float":
        return float_bits(held) == float_bits(wanted)
    if kind == "text":
        as_bytes = lambda v: v if isinstance(v, bytes) else v.encode("utf-8")
        return as_bytes(held) == as_bytes(wanted)
    return held == wanted


def diff_lines(values, names):
    return "".join("%s: %s\n" % (name, json.dumps(shown(values.get(name)), ensure_ascii=False)) for name in names)


def read_before(target, names, params):
    """What the device holds for the names; a tag it does not hold reads as None."""
    opts = dict(timeout=params["timeout"], retries=params["retries"])
    try:
        return tagproto.get(target, *names, **opts)
    except tagproto.ErrorReply:
        pass
    # The device answers a GET naming a tag it lacks with an error alone: each
    # tag is asked by itself, those it lacks are written as differing.
    held = {}
    for name in names:
        try:
            held.update(tagproto.get(target, name, **opts))
        except tagproto.ErrorReply:
            held[name] = None
    return held


def main():
    module = AnsibleModule(supports_check_mode=True, **device_spec(tags=dict(type="dict", required=True)))
    require_tagproto(module)
    params = module.params
    result = dict(changed=False)

    # Everything is checked before the device is asked anything.
    wanted = {}
    kinds = {}
    try:
        result["target"] = target = target_of(params)
        if not params["tags"]:
            raise ValueError("tags names no tag to set")
        for name, value in params["tags"].items():
            tag = tag_of(name)
            if tag.name in wanted:
                raise ValueError("%s appears twice in tags" % tag.name)
            wanted[tag.name] = desired_value(tag, value)
            kinds[tag.name] = tag.kind
    except (ValueError, TypeError) as error:
        module.fail_json(msg=str(error), **result)

    names = list(wanted)
    try:
        before = read_before(target, names, params)
    except (tagproto.Error, ValueError, TypeError) as error:
        module.fail_json(msg="%s: cannot read the tags: %s" % (target, reason(error)),
                         status=getattr(error, "status", None), **result)
    result["before"] = shown_all(dict((n, before.get(n)) for n in names))

    differing = [n for n in names if not same(kinds[n], before.get(n), wanted[n])]
    result["written"] = dict((n, shown(wanted[n])) for n in differing)
    result["changed"] = bool(differing)
    if differing and module._diff:
        result["diff"] = dict(before_header=target, after_header=target,
                              before=diff_lines(before, differing), after=diff_lines(wanted, differing))
    if not differing or module.check_mode:
        module.exit_json(**result)

    try:
        after = tagproto.set(target, dict((n, wanted[n]) for n in differing), verify=True,
                             timeout=params["timeout"], retries=params["retries"])
    except tagproto.Mismatch as error:
        mismatches = dict((name, dict(written=shown(w), read=shown(r)))
                          for name, (w, r) in error.differences.items())
        told = ", ".join("%s written %s, read %s" % (name, json.dumps(m["written"], ensure_ascii=False),
                                                     "nothing" if m["read"] is None else
                                                     json.dumps(m["read"], ensure_ascii=False))
                         for name, m in sorted(mismatches.items()))
        module.fail_json(msg="%s: the device did not take the values: %s" % (target, told),
                         mismatches=mismatches, status=error.status, **result)
    except (tagproto.Error, ValueError, TypeError) as error:
        # After a SET went out nobody knows what the device holds: said so, never taken as unchanged.
        maybe = " (a SET went out: the device may hold some of the values)" if getattr(error, "set_sent", False) else ""
        module.fail_json(msg="%s: cannot write the tags: %s%s" % (target, reason(error), maybe),
                         status=getattr(error, "status", None), **result)
    result["after"] = shown_all(after)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
