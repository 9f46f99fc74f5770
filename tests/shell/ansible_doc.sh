#!/usr/bin/env bash
# The collection's modules as ansible-doc reads them: each parses, names
# every option the module takes with its type and default, and has examples
# that are YAML. (ansible-test's validate-modules needs packages from the
# network, which CI does not have.)
# Usage: ansible_doc.sh COLLECTIONS_DIR
set -euo pipefail
collections=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ANSIBLE_COLLECTIONS_PATH=$collections ANSIBLE_HOME=$work/ansible ANSIBLE_LOCAL_TEMP=$work/ansible/tmp
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

listed=$(ansible-doc -t module -l tagproto.fleet 2>&1) || fail "ansible-doc -l: $listed"
for module in tag_config tag_facts; do
  grep -q "^tagproto.fleet.$module " <<< "$listed" || fail "ansible-doc -l does not list $module"
done

# module  options as name:type:default (sorted), "-" for no default
cases=(
  "tag_config|host:str:- port:int:60000 retries:int:2 tags:dict:- target:str:- timeout:float:2.0|check_mode:full diff_mode:full"
  "tag_facts|host:str:- port:int:60000 retries:int:2 tags:list:TAG_DEV_ID,TAG_DEV_LABEL,TAG_DEV_TYPE,TAG_DEV_STATE,TAG_DEV_STATUS target:str:- timeout:float:2.0|check_mode:full diff_mode:none"
)
for case in "${cases[@]}"; do
  IFS='|' read -r module options attributes <<< "$case"
  ansible-doc --json "tagproto.fleet.$module" > "$work/$module.json" 2> "$work/$module.err" ||
    { fail "$module: $(cat "$work/$module.err")"; continue; }
  [[ -s $work/$module.err ]] && fail "$module: ansible-doc warns: $(cat "$work/$module.err")"
  got=$(python3 - "$work/$module.json" "tagproto.fleet.$module" "$collections" <<'PY'
import json, sys, yaml
entry = json.load(open(sys.argv[1]))[sys.argv[2]]
doc = entry["doc"]
def default(o):
    d = o.get("default")
    return "-" if d is None else ",".join(d) if isinstance(d, list) else str(d)
print(" ".join("%s:%s:%s" % (n, o["type"], default(o)) for n, o in sorted(doc["options"].items())))
print(" ".join("%s:%s" % (n, a["support"]) for n, a in sorted(doc["attributes"].items())))
yaml.safe_load(entry["examples"])
# The options every module shares, as the modules' argument spec has them.
sys.path.insert(0, sys.argv[3])
from ansible_collections.tagproto.fleet.plugins.module_utils.device import DEVICE_ARGS
for name, spec in DEVICE_ARGS.items():
    o = doc["options"][name]
    if (o["type"], o.get("default")) != (spec["type"], spec.get("default")):
        print("option %s: documented %s, taken as %s" % (name, o, spec))
print("returns " + " ".join(sorted(entry["return"])))
PY
  ) || { fail "$module: its documentation does not read"; continue; }
  [[ $(sed -n 1p <<< "$got") == "$options" ]] || fail "$module's options: $(sed -n 1p <<< "$got")"
  [[ $(sed -n 2p <<< "$got") == "$attributes" ]] || fail "$module's attributes: $(sed -n 2p <<< "$got")"
  grep -q '^returns .*target' <<< "$got" || fail "$module documents no return values: $got"
  grep '^option ' <<< "$got" && fail "$module documents other options than it takes"
  # The text page a user reads.
  ansible-doc "tagproto.fleet.$module" | grep "^EXAMPLES:" >/dev/null || fail "ansible-doc shows no examples of $module"
done
echo "$failures failures"
[[ $failures == 0 ]]
