"""What the freshly built module offers: run by the README's demo command."""

import sys

import tavoric

print(f"module:  {tavoric.__file__}")
print(f"classes: {', '.join(getattr(tavoric, '__all__', [])) or '(none registered yet)'}")
gil = getattr(sys, "_is_gil_enabled", lambda: True)()
print(f"interpreter GIL enabled: {gil}")
