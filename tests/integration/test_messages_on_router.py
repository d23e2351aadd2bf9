"""The message builders inside the simulated router, where the device id,
IMEI and serial number come from the status tool: the MessagesOnRouter cases
of test_messaging, each in a process of its own (the IMEI is read once per
process)."""
import subprocess

import pytest

from testbed.router import program


def router_cases():
    listing = subprocess.run([str(program("test_messaging")), "--gtest_list_tests",
                              "--gtest_filter=MessagesOnRouter.*"], capture_output=True, text=True, check=True)
    return [line.strip() for line in listing.stdout.splitlines() if line.startswith("  ")]


@pytest.mark.parametrize("case", router_cases())
def test_messages_on_router(status_router, case):
    rc, out, err = status_router.run([program("test_messaging"), f"--gtest_filter=MessagesOnRouter.{case}"])
    assert rc == 0, out + err
    assert "[  PASSED  ] 1 test." in out, out   # ran, and did not skip
