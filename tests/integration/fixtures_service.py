"""The reference service for the agent's server-facing states: a bootstrap
broker (TLS, server certificate only) with its bootstrap server, a management
broker (mutual TLS) with its management server, and a router prepared to
bootstrap against them."""
import types

import pytest

from testbed.brokers import Broker
from testbed.service import BootstrapServer, ManagementServer, prepare_router

DEVICE = "A4:07:1B:C0:00:FF"  # the default LAN MAC address of a simulated router


class Service:
    def __init__(self, tmp_path, pki):
        self.tmp_path = tmp_path
        self.pki = pki
        self.closers = []
        self.bs_broker = self.broker("tls")
        self.ms_broker = self.broker("mtls")
        self.ms = self.track(ManagementServer(self.ms_broker))
        self.bs = self.track(BootstrapServer(self.bs_broker, pki, management=(self.ms_broker.host, self.ms_broker.port)))

    def broker(self, kind, pki=None, **kw):
        broker = Broker(kind, self.tmp_path, pki or self.pki, **kw).start()
        self.closers.append(broker.stop)
        return broker

    def track(self, server):
        self.closers.append(server.close)
        return server

    def other_bootstrap(self):
        """A second bootstrap server whose broker's certificate comes from another CA."""
        other = types.SimpleNamespace(ca=self.pki.other_ca, server=self.pki.other_server)
        broker = self.broker("tls", pki=other)
        server = self.track(BootstrapServer(broker, self.pki, management=(self.ms_broker.host, self.ms_broker.port),
                                            client_id="bs2"))
        server.broker = broker
        with open(self.pki.other_ca.cert) as f:
            server.ca_pem = f.read()
        return server

    def prepare(self, router, level="debug", **settings):
        """A fresh router whose agent bootstraps against this service."""
        return prepare_router(router, self.pki, self.bs_broker, level=level, **settings)

    def close(self):
        for close in reversed(self.closers):
            try:
                close()
            except Exception:  # noqa: BLE001 - teardown goes on
                pass


@pytest.fixture
def service(tmp_path, pki):
    s = Service(tmp_path, pki)
    yield s
    s.close()
