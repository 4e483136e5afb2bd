"""The package is imported from this source tree; the shared library comes
from ZV_RUNTIME_LIBRARY or the usual places."""
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir))
sys.path.insert(0, os.path.dirname(__file__))


@pytest.fixture
def rng():
    return np.random.default_rng(7)
