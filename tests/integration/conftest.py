import os
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO))

from testbed import netns  # noqa: E402

# Fixture modules of the areas; each adds its own line.
pytest_plugins = [
    "fixtures_mqtt",
    "fixtures_status",
    "fixtures_content",
    "fixtures_service",
    "fixtures_measure",
]


def pytest_configure(config):
    # Each test process (every xdist worker too) gets a network of its own.
    if os.environ.get("VELMO_TEST_NETNS") != str(os.getpid()):
        netns.enter_private_network()
        os.environ["VELMO_TEST_NETNS"] = str(os.getpid())


import pytest  # noqa: E402

from testbed.router import Router  # noqa: E402


@pytest.fixture
def router(tmp_path):
    """A fresh simulated router; its syslog capture stops at teardown."""
    r = Router(tmp_path / "router")
    yield r
    r.close()
