"""Software deployment run for real in a simulated router: deploy_probe calls
the agent's download and installation code, which runs real curl against the
reference content server and real tar, cp and rm on real packages. The
journal holds every command line in order (the file tools through recording
wrappers, the router's own tools and the apps' scripts by themselves)."""
import hashlib
import os
import re

import pytest

from testbed.packages import app_files, build_package

CA = "ROOT/var/data/velmo_client/ca.crt"


def download_cmd(url, name):
    return f"curl -C - -o ROOT/tmp/{name} --tlsv1.2 --cacert {CA} {url}"


def info_cmd(f):
    """The file-information request as the journal shows it (argv joined)."""
    return f"curl -s --tlsv1.2 --cacert {CA} -X GET {f.info_url}"


def info_cmdline(f, ca=CA):
    """The same request as the command line given to the shell."""
    return f"curl -s --tlsv1.2 --cacert {ca} -X GET '{f.info_url}'"


def payload(n):
    return (hashlib.sha256(b"velmo").digest() * (n // 32 + 1))[:n]


# ----- downloads -------------------------------------------------------------


def test_download_interrupted_twice_resumes_twice_and_verifies_its_digest(deploy, content_server):
    f = content_server.add_file("gps_2.1.0.tgz", payload(300000))
    f.drops = [100000, 50000]
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == "Ok"

    assert deploy.commands() == [info_cmd(f)] + [download_cmd(f.url, f.name)] * 3
    # curl really resumed where each broken transfer ended.
    assert [r for _, r in content_server.file_requests(f)] == [None, "bytes=100000-", "bytes=150000-"]
    assert deploy.router.path("tmp/gps_2.1.0.tgz").read_bytes() == f.data
    assert deploy.messages() == [
        "Downloading sequence started 'gps'.",
        f"Downloading '{f.url}'.",
        "Download interrupted, resuming.",
        "Download interrupted, resuming.",
        "Download finished OK.",
    ]


@pytest.mark.parametrize("drops, result, runs", [
    (10, "Ok", 11),               # ten resumptions are allowed
    (11, "GeneralFailure", 11),   # the eleventh interruption ends the download
])
def test_resumption_is_bounded(deploy, content_server, drops, result, runs):
    f = content_server.add_file("gps_2.1.0.tgz", payload(30000))
    f.drops = [1000] * drops
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == result
    assert deploy.commands().count(download_cmd(f.url, f.name)) == runs
    msgs = deploy.messages()
    assert msgs.count("Download interrupted, resuming.") == 10
    if result == "GeneralFailure":
        assert msgs[-1] == "Download given up: interrupted 11 times in a row (return code '56')."
        assert deploy.router.messages("velmo_client", "err") == [msgs[-1]]
        assert "Download finished OK." not in msgs


@pytest.mark.parametrize("hash_of, result", [
    (lambda h: "0" * 40, "IntegrityCheckFailure"),
    (lambda h: h.upper(), "IntegrityCheckFailure"),   # compared as text, case-sensitive
    (lambda h: h[:39], "IntegrityCheckFailure"),
    (lambda h: h, "Ok"),
])
def test_digest_is_compared_as_text(deploy, content_server, hash_of, result):
    f = content_server.add_file("gps_2.1.0.tgz", payload(5000))
    f.hash = hash_of(f.hash)
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == result
    if result != "Ok":
        assert deploy.messages("warning") == ["Downloaded file integrity check failed."]
        assert deploy.router.exists("tmp/gps_2.1.0.tgz"), "the rejected file stays in place"


def skipped(inner):
    return f"Disk space check will be skipped. ({inner})"


@pytest.mark.parametrize("reply, result, warning", [
    # A refusal: the server's message inside the parsing failure inside the warning.
    ({"success": False, "message": "not found"}, "Ok",
     lambda f, ca: f"Failure while parsing the output of '{info_cmdline(f, ca)}' command. "
                   f"(Failed to obtain file info from '{f.info_url}' (content server: not found).)"),
    # Without a hash the reply is unusable: no space checks (the huge size is
    # not looked at) and no integrity check.
    ({"success": True, "data": {"size": 2 ** 50, "usize": 1}}, "Ok", None),
    ({"success": "true", "data": {"size": 1, "usize": 1, "hash": "x"}}, "Ok", None),
    ({"success": True, "data": {"size": -1, "usize": 1, "hash": "x"}}, "Ok", None),
    ('{"success": true, /* comment */ "data": {}}', "Ok", None),
    ("<html>busy</html>", "Ok", None),
    # Floating and boolean counts are accepted: the reply is used, and its
    # (wrong) digest rejects the file.
    ({"success": True, "data": {"size": 10.9, "usize": True, "hash": "0" * 40}}, "IntegrityCheckFailure", None),
])
def test_file_information_failures_only_switch_the_checks_off(deploy, content_server, reply, result, warning):
    f = content_server.add_file("gps_2.1.0.tgz", payload(4000))
    f.reply = reply
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == result, deploy.messages()
    assert deploy.commands() == [info_cmd(f), download_cmd(f.url, f.name)]
    warnings = deploy.messages("warning")
    if result == "Ok":
        assert len(warnings) == 1 and warnings[0].startswith(
            f"Disk space check will be skipped. (Failure while parsing the output of '{info_cmdline(f)}' command. (")
        assert deploy.router.path("tmp/gps_2.1.0.tgz").read_bytes() == f.data
    if warning:
        # The agent's error messages hold at most 299 characters.
        inner = warning(f, str(deploy.router.path(CA[len("ROOT/"):])))[:299]
        assert deploy.router.messages("velmo_client", "warning") == [skipped(inner)]


def test_url_without_file_part_downloads_without_checks(deploy, content_server):
    f = content_server.add_file("gps_2.1.0.tgz", payload(4000))
    f.hash = "0" * 40   # would fail the integrity check if it were asked for
    assert deploy.run("download_app", "gps", "2.1.0", f.plain_url) == "Ok"
    assert deploy.commands() == [download_cmd(f.plain_url, f.name)]
    assert content_server.info_requests(f) == []
    warnings = deploy.messages("warning")
    assert len(warnings) == 1 and warnings[0].startswith("Disk space check will be skipped. (")
    assert deploy.router.path("tmp/gps_2.1.0.tgz").read_bytes() == f.data


def test_empty_url_runs_nothing(deploy, content_server):
    assert deploy.run("download_app", "gps", "2.1.0", "") == "InvalidUrl"
    assert deploy.commands() == []
    assert content_server.requests == []
    assert deploy.messages() == ["Downloading sequence started 'gps'.", "Invalid download URL: ''"]


def test_curl_failure_is_a_general_failure(deploy):
    # No name resolves in the test's private network: curl ends with 6.
    url = "https://content.invalid/file/ab12/gps_2.1.0.tgz"
    assert deploy.run("download_app", "gps", "2.1.0", url) == "GeneralFailure"
    assert deploy.messages("warning") == [
        skipped("Curl request 'https://content.invalid/fileinfo/ab12' failed with error code '1536'.")]
    assert deploy.messages("err") == ["Download failed with return code '6'."]


# ----- space checks ----------------------------------------------------------

TMPFS_64K = ("tmpfs", "size=64k")
RAMFS = ("ramfs", "mode=1777")   # reports no blocks at all: measured by free memory
TB = 2 ** 40


@pytest.mark.parametrize("mount, size, usize, firmware, result, line", [
    (TMPFS_64K, 100000, 1, False, "NotEnoughSpace",
     r"Not enough space to download file\. \(Need: 100000 Available: 65536\)"),
    # 64-bit figures: a size above 4 GiB does not wrap around to a small one.
    (TMPFS_64K, 2 ** 32 + 1000, 1, False, "NotEnoughSpace",
     r"Not enough space to download file\. \(Need: 4294968296 Available: 65536\)"),
    (TMPFS_64K, None, TB, False, "NotEnoughSpace",
     r"Not enough space to unpack file\. \(Need: 1099511627776 Available: [1-9]\d*\)"),
    # The firmware is not unpacked under the apps directory.
    (TMPFS_64K, None, TB, True, "Ok", None),
    (RAMFS, 2 ** 50, 1, False, "NotEnoughSpace",
     r"Not enough space to download file\. \(Need: 1125899906842624 Available: [1-9]\d*\)"),
    (RAMFS, None, 1, False, "Ok", None),
])
def test_space_checks(deploy, content_server, mount, size, usize, firmware, result, line):
    name = "firmware" if firmware else "gps"
    f = content_server.add_file(f"{name}_2.1.0.tgz", payload(3000), usize=usize)
    if size is not None:
        f.size = size
    args = ["download_app", name, "2.1.0", f.url] + (["firmware"] if firmware else [])
    assert deploy.run(*args, mount=mount) == result
    msgs = deploy.messages()
    if result == "NotEnoughSpace":
        assert deploy.commands() == [info_cmd(f)], "nothing is downloaded"
        assert re.fullmatch(line, deploy.messages("info")[0])
        assert deploy.messages("warning") == [f"Not enough space for downloading application '{name}'."]
    else:
        assert deploy.commands() == [info_cmd(f), download_cmd(f.url, f.name)]
        assert msgs[-1] == "Download finished OK."
