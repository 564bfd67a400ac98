"""Puts the build folder named by TAVORIC_MODULE_DIR, if set, first on the import path."""
import os
import sys

if os.environ.get("TAVORIC_MODULE_DIR"):
    sys.path.insert(0, os.environ["TAVORIC_MODULE_DIR"])
