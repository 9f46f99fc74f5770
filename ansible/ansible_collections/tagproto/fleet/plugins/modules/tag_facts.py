# -*- coding: utf-8 -*-
# Reads tags of one device into facts, for when: conditions and templates.
from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: tag_facts
short_description: Read tags of a UDP tag protocol device into facts
version_added: 0.1.0
description:
  - Reads the tags named in I(tags) from the device and sets them as the fact C(tagproto), a dictionary
    from tag name to value, for C(when:) conditions and templates of later tasks.
  - A group tag stands for its members, as the device answers it.
  - Only reads; check mode reads too.
extends_documentation_fragment:
  - tagproto.fleet.device
options:
  tags:
    description:
      - Names (case ignored) or numeric ids of the tags to read, group tags included.
    type: list
    elements: raw
    default: [TAG_DEV_ID, TAG_DEV_LABEL, TAG_DEV_TYPE, TAG_DEV_STATE, TAG_DEV_STATUS]
attributes:
  check_mode:
    support: full
  diff_mode:
    support: none
author:
  - The tagclient authors
"""

EXAMPLES = r"""
- name: Skip the devices of type 7
  hosts: devices
  connection: local
  gather_facts: false
  module_defaults:
    group/tagproto.fleet.devices:
      host: "{{ ansible_host }}"
      port: "{{ tag_port | default(60000) }}"
  tasks:
    - name: Read what the devices are
      tagproto.fleet.tag_facts:
        tags: [TAG_DEV_TYPE, TAG_DEV_LABEL]

    - name: Configure all but type 7
      tagproto.fleet.tag_config:
        tags:
          TAG_DEV_STATE: 1
      when: tagproto.TAG_DEV_TYPE != 7

    - name: Show a label
      ansible.builtin.debug:
        msg: "{{ inventory_hostname }} is {{ tagproto.TAG_DEV_LABEL }}"
"""

RETURN = r"""
target:
  description: The address the device was asked at.
  returned: always
  type: str
  sample: "127.0.0.1:60000"
status:
  description: The failed exchange's status word, such as C(timed_out).
  returned: on failure
  type: str
ansible_facts:
  description: The facts set.
  returned: success
  type: complex
  contains:
    tagproto:
      description:
        - Tag name to value. Integers and floats are numbers, texts strings (bytes that are not UTF-8
          as C(\\x) escapes), a valueless tag null.
      type: dict
      sample: {"TAG_DEV_TYPE": 3, "TAG_DEV_LABEL": "Demo rack controller"}
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.tagproto.fleet.plugins.module_utils.device import (
    device_spec,
    reason,
    require_tagproto,
    shown_all,
    tag_of,
    tagproto,
    target_of,
)

DEFAULT_TAGS = ["TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_DEV_TYPE", "TAG_DEV_STATE", "TAG_DEV_STATUS"]


def tag_arg(value):
    """A name as it is, an id as a number: YAML may give an id as either."""
    if isinstance(value, bool):
        raise ValueError("tag %s is neither a name nor an id" % value)
    if isinstance(value, int):
        return value
    text = str(value)
    return int(text) if text.isdigit() else text


def main():
    module = AnsibleModule(supports_check_mode=True,
                           **device_spec(tags=dict(type="list", elements="raw", default=DEFAULT_TAGS)))
    require_tagproto(module)
    params = module.params
    result = dict(changed=False)
    try:
        result["target"] = target = target_of(params)
        tags = [tag_arg(t) for t in params["tags"]]
        if not tags:
            raise ValueError("tags names no tag to read")
        for t in tags:
            tag_of(t)
    except (ValueError, TypeError) as error:
        module.fail_json(msg=str(error), **result)
    try:
        values = tagproto.get(target, *tags, timeout=params["timeout"], retries=params["retries"])
    except (tagproto.Error, ValueError, TypeError) as error:
        module.fail_json(msg="%s: cannot read the tags: %s" % (target, reason(error)),
                         status=getattr(error, "status", None), **result)
    result["ansible_facts"] = dict(tagproto=shown_all(values))
    module.exit_json(**result)


if __name__ == "__main__":
    main()
