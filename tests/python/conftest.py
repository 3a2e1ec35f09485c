"""Shared fixtures; makes sure the suite runs against the build it was asked to test."""
import os

import Vostrel

_expected = os.environ.get("VOSTREL_EXPECT_BUILD")
if _expected and not os.path.realpath(Vostrel.__file__).startswith(os.path.realpath(_expected)):
    raise RuntimeError(f"testing {Vostrel.__file__}, expected a module from {_expected}")
