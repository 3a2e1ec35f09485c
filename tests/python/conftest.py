"""Shared fixtures; makes sure the suite runs against the build it was asked to test."""
import gc
import os

import pytest

import Vostrel

_expected = os.environ.get("VOSTREL_EXPECT_BUILD")
if _expected and not os.path.realpath(Vostrel.__file__).startswith(os.path.realpath(_expected)):
    raise RuntimeError(f"testing {Vostrel.__file__}, expected a module from {_expected}")


@pytest.fixture(autouse=True)
def _no_collection_during_a_test():
    """Object ids are reused lowest first, and many tests make records in turn and expect them in
    id order. An automatic collection in the middle of such a test can free an earlier test's
    record and give its id to a later record. So each test starts collected and runs with the
    collector off; tests that need a collection call gc.collect() themselves."""
    gc.collect()
    gc.disable()
    try:
        yield
    finally:
        gc.enable()
