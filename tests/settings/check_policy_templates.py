#!/usr/bin/env python3
"""The Group Policy template against the code: well-formed XML, every string
and presentation the ADMX names present in each language's ADML, and the
key and value names the ones kestrix reads.
    check_policy_templates.py ASSETS_POLICY_DIR SRC_SETTINGS_DIR"""

import re
import sys
import xml.etree.ElementTree as ET
from pathlib import Path

NS = {"p": "http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions"}
LANGUAGES = ("en-US", "zh-TW")
# The policy and what enabling and disabling write; None: a number element.
SWITCHES = {"kAutoKillValue": ("1", "0"), "kSkipFloopyValue": ("1", "0"), "kAutoStartPolicyValue": ("1", "0"),
            "kQuarantineLimitValue": None}


def constants(settings):
    """The string constants of the settings headers, as C++ reads them."""
    text = "".join(path.read_text(encoding="utf-8") for path in sorted(settings.glob("*.h")))
    return {name: value.encode().decode("unicode_escape")
            for name, value in re.findall(r'constexpr std::string_view (k\w+) = "((?:[^"\\]|\\.)*)";', text)}


def main(policy_dir, settings_dir):
    errors = []
    admx = ET.parse(policy_dir / "Kestrix.admx").getroot()
    code = constants(settings_dir)
    key = code["kPolicyKey"].lstrip("\\")
    source = ET.tostring(admx, encoding="unicode")
    strings = set(re.findall(r"\$\(string\.(\w+)\)", source))
    presentations = set(re.findall(r"\$\(presentation\.(\w+)\)", source))

    policies = {policy.get("name"): policy for policy in admx.iterfind("p:policies/p:policy", NS)}
    for constant, switch in SWITCHES.items():
        name = code[constant]
        policy = policies.pop(name, None)
        if policy is None:
            errors.append(f"no policy for the value {name}")
            continue
        if policy.get("key") != key or policy.get("class") != "Machine":
            errors.append(f"{name}: key {policy.get('key')}, class {policy.get('class')}")
        if switch:
            written = tuple(policy.find(f"p:{state}/p:decimal", NS) for state in ("enabledValue", "disabledValue"))
            if policy.get("valueName") != name or tuple(w.get("value") if w is not None else None
                                                        for w in written) != switch:
                errors.append(f"{name}: enabling and disabling must write 1 and 0 to {name}")
        elif policy.find(f"p:elements/p:decimal[@valueName='{name}']", NS) is None:
            errors.append(f"{name}: no decimal element writing {name}")
    errors += [f"a policy the code does not read: {name}" for name in policies]

    element_ids = {element.get("id") for element in admx.iterfind("p:policies/p:policy/p:elements/*", NS)}
    for language in LANGUAGES:
        adml = ET.parse(policy_dir / language / "Kestrix.adml").getroot()
        defined = {s.get("id") for s in adml.iterfind("p:resources/p:stringTable/p:string", NS)}
        shown = {p.get("id"): p for p in adml.iterfind("p:resources/p:presentationTable/p:presentation", NS)}
        errors += [f"{language}: no string {name}" for name in sorted(strings - defined)]
        errors += [f"{language}: no presentation {name}" for name in sorted(presentations - shown.keys())]
        for name, presentation in shown.items():
            errors += [f"{language}: presentation {name} names no element {box.get('refId')}"
                       for box in presentation if box.get("refId") not in element_ids]

    print("\n".join(errors) or "the policy template matches the code")
    return 1 if errors else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]), Path(sys.argv[2])))
