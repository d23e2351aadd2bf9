"""Fixtures of software deployment: a test CA and server certificate, the
reference content server, and a simulated router that runs deploy_probe with
the agent's CA file in place and every command it runs in the journal."""
import shutil
import subprocess

import pytest

from testbed.content_server import ContentServer
from testbed.router import Router, program

# Tools that the deployment code runs through a PATH search. In the router
# they are wrapped by scripts that record their argv in the journal and then
# run the real tool, so a test sees every command line in order.
WRAPPED_TOOLS = ("curl", "tar", "cp", "mv", "rm", "ln", "mkdir")


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True)


@pytest.fixture(scope="session")
def content_pki(tmp_path_factory):
    """A test CA (EC P-256) and a server certificate for 127.0.0.1/localhost
    signed by it: {"ca": path, "cert": path, "key": path}."""
    d = tmp_path_factory.mktemp("content-pki")
    _openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "ca.key", cwd=d)
    _openssl("req", "-x509", "-new", "-key", "ca.key", "-subj", "/CN=velmo test content CA", "-days", "3",
             "-addext", "basicConstraints=critical,CA:TRUE", "-addext", "keyUsage=critical,keyCertSign,cRLSign",
             "-out", "ca.crt", cwd=d)
    _openssl("ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "server.key", cwd=d)
    _openssl("req", "-new", "-key", "server.key", "-subj", "/CN=localhost", "-out", "server.csr", cwd=d)
    (d / "server.ext").write_text("subjectAltName=IP:127.0.0.1,DNS:localhost\nbasicConstraints=CA:FALSE\n"
                                  "keyUsage=critical,digitalSignature\nextendedKeyUsage=serverAuth\n")
    _openssl("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
             "-days", "3", "-extfile", "server.ext", "-out", "server.crt", cwd=d)
    return {"ca": d / "ca.crt", "cert": d / "server.crt", "key": d / "server.key"}


@pytest.fixture
def content_server(content_pki):
    server = ContentServer(content_pki["cert"], content_pki["key"]).start()
    yield server
    server.stop()


class DeployRouter:
    """A simulated router for deployment tests."""

    def __init__(self, directory, ca):
        self.router = Router(directory)
        self.root = str(self.router.root)
        self.router.write("var/data/velmo_client/ca.crt", ca.read_text())
        self.wrap = self.router.sim / "wrap"
        self.wrap.mkdir(exist_ok=True)
        for tool in WRAPPED_TOOLS:
            real = shutil.which(tool)
            # A fault planted by fail() ends the call with its code before the
            # real tool runs.
            script = Router.recorder_script(
                f'f="$VELMO_SIM/fail/{tool}"\n'
                f'if [ -f "$f" ] && read first code < "$f" && [ "$1" = "$first" ]; then exit "$code"; fi\n'
                f'exec {real} "$@"')
            (self.wrap / tool).write_text(script)
            (self.wrap / tool).chmod(0o755)

    def fail(self, tool, first_arg, code):
        """The wrapped tool's next calls whose first argument is first_arg
        ('ROOT' for the router's root) exit with code without running."""
        (self.router.sim / "fail").mkdir(exist_ok=True)
        (self.router.sim / "fail" / tool).write_text(f"{first_arg.replace('ROOT', self.root)} {code}\n")

    def run(self, *args, mount=None, setup="", probe="deploy_probe"):
        """deploy_probe (or another probe) with the given operation and
        arguments; its output without the line break. mount: (type, options)
        of a file system mounted at the router's temporary directory for this
        run only. setup: shell commands run in the router's namespace first
        ($0 is the router's root); each must end with '&& '."""
        argv = [str(program(probe)), "-d", self.root, *[str(a) for a in args]]
        # The wrappers come first on PATH only for the probe, once the router's
        # namespace is set up.
        setup = f'PATH={self.wrap}:$PATH; export PATH; ' + setup
        if mount:
            fstype, options = mount
            setup += f'mount -t {fstype} -o {options} {fstype} "$0/tmp" && '
        argv = ["/bin/sh", "-c", setup + 'exec "$@"', self.root] + argv
        status, out, err = self.router.run(argv)
        assert status == 0, err
        return out.rstrip("\n")

    def commands(self, status_tool=False):
        """The journal as command lines, with the router's root shown as ROOT
        and the wrapped tools by their names. The status tool's calls are left
        out unless asked for."""
        lines = []
        for argv in self.router.journal():
            prog = argv[0]
            if prog.startswith(str(self.wrap) + "/"):
                prog = prog[len(str(self.wrap)) + 1:]
            if prog == "/usr/bin/status" and not status_tool:
                continue
            lines.append(" ".join([prog] + argv[1:]).replace(self.root, "ROOT"))
        return lines

    def messages(self, severity=None):
        return [m.replace(self.root, "ROOT") for m in self.router.messages("velmo_client", severity)]

    def clear(self):
        self.router.clear_journal()
        (self.router.sim / "syslog.jsonl").write_text("")


@pytest.fixture
def deploy(tmp_path, content_pki):
    d = DeployRouter(tmp_path / "router", content_pki["ca"])
    yield d
    d.router.close()
