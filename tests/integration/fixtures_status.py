"""Fixtures of the router status reader's tests."""
import pytest

from testbed.router import Router, build_dir

PLATFORM_LIBS = build_dir() / "tests" / "bin" / "platform"


@pytest.fixture
def status_router(tmp_path):
    """A simulated router with the default status sections."""
    router = Router(tmp_path / "router")
    yield router
    router.close()


def install_platform_libs(router, quenno="libquenno.so"):
    """Puts the stand-ins of the platform libraries at /usr/lib in the router:
    libravelo.so, libtorska.so, and as libquenno.so the built variant named
    by quenno ("libquenno.so", "libquenno-noload.so", "libquenno-basic.so"),
    or none when quenno is None. Their answers come from sim/platform/."""
    router.usr_lib(PLATFORM_LIBS / "libravelo.so", "libravelo.so")
    router.usr_lib(PLATFORM_LIBS / "libtorska.so", "libtorska.so")
    if quenno is not None:
        router.usr_lib(PLATFORM_LIBS / quenno, "libquenno.so")
    (router.sim / "platform").mkdir(exist_ok=True)
