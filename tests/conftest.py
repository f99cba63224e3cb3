import os

import pytest
from hypothesis import HealthCheck, settings

# Bounded, deadline-free property runs: CI machines are shared and slow.
settings.register_profile(
    "ci",
    max_examples=60,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile("dev", max_examples=200, deadline=None)
settings.register_profile("stress", max_examples=3000, deadline=None,
                          suppress_health_check=list(HealthCheck))
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))


@pytest.fixture(scope="session")
def native_checks(tmp_path_factory):
    """Standard output of each native check (tests/native), by its ctest name."""
    from native_checks import run_native_checks
    return run_native_checks(tmp_path_factory.mktemp("ctest"))
