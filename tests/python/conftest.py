"""Makes the freshly built module importable for the tests.

The test command points TAVORIC_MODULE_DIR at its build folder; without it the
tests use whatever `import tavoric` finds (an installed copy, for example).
"""

import os
import sys

_module_dir = os.environ.get("TAVORIC_MODULE_DIR")
if _module_dir:
    sys.path.insert(0, _module_dir)
