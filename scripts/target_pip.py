"""pip for another platform's interpreter: runs this machine's pip with the
environment markers that interpreter reports (its MARKERS file, a JSON object
made by the interpreter itself), so that requirements such as
`colorama; sys_platform == "win32"` or `exceptiongroup; python_version <
"3.11"` are read as the target reads them. pip's own --platform and
--python-version choose the wheels but leave markers to this machine.

    python scripts/target_pip.py MARKERS PIP-ARGUMENT...

The interpreter prints its MARKERS with: python -c "$(python scripts/target_pip.py --probe)"
"""

from __future__ import annotations

import json
import runpy
import sys

PROBE = """\
import json, os, platform, sys
implementation = sys.implementation
version = "%d.%d.%d" % implementation.version[:3]
if implementation.version.releaselevel != "final":
    version += implementation.version.releaselevel[0] + str(implementation.version.serial)
print(json.dumps({
    "implementation_name": implementation.name,
    "implementation_version": version,
    "os_name": os.name,
    "platform_machine": platform.machine(),
    "platform_python_implementation": platform.python_implementation(),
    "platform_release": platform.release(),
    "platform_system": platform.system(),
    "python_full_version": platform.python_version(),
    "python_version": ".".join(platform.python_version_tuple()[:2]),
    "sys_platform": sys.platform,
}))
"""


def main(argv: list) -> None:
    if argv[1:] == ["--probe"]:
        print(PROBE)
        return
    if len(argv) < 3:
        sys.exit(__doc__.strip())
    with open(argv[1]) as f:
        markers = json.load(f)
    from pip._vendor.packaging import markers as packaging_markers

    own = packaging_markers.default_environment

    def target_environment():
        environment = own()
        environment.update(markers)
        return environment

    packaging_markers.default_environment = target_environment
    sys.argv = ["pip", *argv[2:]]
    runpy.run_module("pip", run_name="__main__", alter_sys=True)


if __name__ == "__main__":
    main(sys.argv)
