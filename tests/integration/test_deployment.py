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
from testbed.router import Router

CA = "ROOT/var/data/velmo_client/ca.crt"


def download_cmd(url, name):
    return f"curl -C - -o ROOT/tmp/{name} --tlsv1.2 --cacert {CA} {url}"


def info_cmd(f):
    """The file-information request as the journal shows it (argv joined)."""
    return f"curl -s --tlsv1.2 --cacert {CA} -X GET {f.info_url}"


def info_cmdline(f, ca=CA):
    """The same request as the command line given to the shell."""
    return f"curl -s --tlsv1.2 --cacert {ca} -X GET '{f.info_url}'"


def pkg_url(file_name):
    """A download URL whose last part names the package in the temporary directory."""
    return f"https://127.0.0.1/file/ab12/{file_name}"


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
    ('{"success": true, /* comment */ "data": {}}', "Ok", None),
    ("<html>busy</html>", "Ok", None),
    # Floating and boolean counts are accepted: the reply is used, and its
    # (wrong) digest rejects the file.
    ({"success": True, "data": {"size": 10.9, "usize": True, "hash": "0" * 40}}, "IntegrityCheckFailure", None),
    # Negative counts are read as unsigned 32-bit numbers (-2**32 is 0), so
    # the reply stays in use and its digest is checked.
    ({"success": True, "data": {"size": -2 ** 32, "usize": -2 ** 32, "hash": "0" * 40}}, "IntegrityCheckFailure", None),
    ({"success": True, "data": {"size": -4294967296.7, "usize": -1e300, "hash": "0" * 40}},
     "IntegrityCheckFailure", None),
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
    # Negative counts read as unsigned 32-bit numbers; a floating count
    # beyond 64 bits as the largest one.
    (TMPFS_64K, -1, 1, False, "NotEnoughSpace",
     r"Not enough space to download file\. \(Need: 4294967295 Available: 65536\)"),
    (TMPFS_64K, 1e30, 1, False, "NotEnoughSpace",
     r"Not enough space to download file\. \(Need: 18446744073709551615 Available: 65536\)"),
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


def test_the_app_file_system_counts_as_room_to_unpack(deploy, content_server):
    """An installed app mounted as a file system of its own at /opt/NAME:
    its size adds to the free space of the (small) apps directory."""
    f = content_server.add_file("gps_2.1.0.tgz", payload(3000), usize=500000)
    setup = ('mount -t tmpfs -o size=64k tmpfs "$0/opt" && /bin/mkdir -p "$0/opt/gps/etc" && '
             'echo gps > "$0/opt/gps/etc/name" && mount -t tmpfs -o size=16k tmpfs /opt && '
             '/bin/mkdir /opt/gps && mount -t tmpfs -o size=1m tmpfs /opt/gps && ')
    assert deploy.run("download_app", "gps", "2.1.0", f.url, setup=setup) == "Ok"
    assert "getRouterAppSize: Obtained router application 'gps' size=1048576." in deploy.messages("debug")
    # Without the app's own file system the same package does not fit.
    deploy.clear()
    setup = setup[:setup.index("mount -t tmpfs -o size=16k")]
    assert deploy.run("download_app", "gps", "2.1.0", f.url, setup=setup) == "NotEnoughSpace"
    assert deploy.messages("debug")[-1] == "getRouterAppSize: Cannot obtain router application 'gps' size."


def test_brackets_and_braces_reach_the_server_unexpanded(deploy, content_server):
    f = content_server.add_file("gps_2.1.0.tgz", payload(2000), file_id="id[1-2]{a,b}")
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == "Ok"
    encoded = f.url.replace("[", "%5B").replace("]", "%5D").replace("{", "%7B").replace("}", "%7D")
    assert deploy.commands() == [info_cmd(f).replace("id[1-2]{a,b}", "id%5B1-2%5D%7Ba,b%7D"),
                                 download_cmd(encoded, f.name)]
    assert content_server.info_requests(f) == ["/fileinfo/id[1-2]{a,b}"]
    assert [p for p, _ in content_server.file_requests(f)] == ["/file/id[1-2]{a,b}/gps_2.1.0.tgz"]
    assert deploy.messages()[-1] == "Download finished OK."


# ----- firmware --------------------------------------------------------------


@pytest.mark.parametrize("rc, output", [
    (0, "ok"),
    (4, "error: update_firmware: Integrity check failed, aborting update."),
    (1, "error: update_firmware: Update failed with error '1'"),
])
def test_firmware_update_and_its_exit_codes(deploy, rc, output):
    deploy.router.write("tmp/firmware_6.4.0.bin", b"\x00IMAGE" * 100)
    deploy.router.set_rc("fwupdate", rc)
    assert deploy.run("install_downloaded_app", "firmware", pkg_url("firmware_6.4.0.bin"), "firmware") == output
    assert deploy.commands() == [
        "rm -rf ROOT/tmp/module/",
        "mkdir ROOT/tmp/module/",
        "mv ROOT/tmp/firmware_6.4.0.bin ROOT/tmp/module/",
        "/usr/sbin/fwupdate -i ROOT/tmp/module/firmware_6.4.0.bin -n",
    ]
    assert deploy.messages("info") == ["Updating firmware to version '6.4.0'."]
    assert not deploy.router.exists("tmp/firmware_6.4.0.bin")
    assert deploy.router.exists("tmp/module/firmware_6.4.0.bin"), "the image stays in the extraction directory"


def test_firmware_identity_and_the_same_version(deploy):
    assert deploy.run("firmware_version") == "6.3.10"
    assert deploy.run("firmware_name") == "RV-5200"
    # The running version: the image is deleted and nothing is run.
    deploy.router.write("tmp/firmware_6.3.10.bin", b"IMAGE")
    assert deploy.run("install_downloaded_app", "firmware", pkg_url("firmware_6.3.10.bin"), "firmware") == "ok"
    assert deploy.commands() == []
    assert not deploy.router.exists("tmp/firmware_6.3.10.bin")
    assert deploy.messages() == []

    for sys_values in ({"Product Name": "RV-5200"}, {"Product Name": "N/A", "Firmware Version": "N/A"}):
        deploy.router.set_status("sys", sys_values)
        assert deploy.run("firmware_version") == "error: Firmware version could not be determined."
    assert deploy.run("firmware_name") == "error: Firmware name could not be determined."


# ----- router apps -----------------------------------------------------------

EXTRACT = ["rm -rf ROOT/tmp/module/", "mkdir ROOT/tmp/module/"]


def plant(deploy, file_name, apps):
    deploy.router.write("tmp/" + file_name, build_package(apps))
    return "ROOT/tmp/" + file_name


def fresh_install(app, snmp=False):
    a = f"ROOT/opt/{app}"
    return [
        f"cp -rdf ROOT/tmp/module/{app} ROOT/opt/",
        f"rm -rf ROOT/var/www/{app}",
        f"ln -s {a}/www ROOT/var/www/{app}",
        f"{a}/etc/install",
        f"{a}/etc/init defaults",
        f"{a}/etc/init start",
    ] + (["/etc/rc.d/init.d/snmp restart"] if snmp else [])


def update(app, snmp=False):
    a = f"ROOT/opt/{app}"
    return [
        f"{a}/etc/init stop",
        f"cp {a}/etc/settings ROOT/tmp/module/settings.{app}",
        f"rm -rf {a}",
        f"cp -rdf ROOT/tmp/module/{app} ROOT/opt/",
        f"rm -rf ROOT/var/www/{app}",
        f"ln -s {a}/www ROOT/var/www/{app}",
        f"{a}/etc/install",
        f"{a}/etc/init defaults",
        f"/usr/sbin/restore ROOT/tmp/module/settings.{app}",
        f"{a}/etc/init start",
    ] + (["/etc/rc.d/init.d/snmp restart"] if snmp else [])


def test_fresh_install_of_a_downloaded_package(deploy, content_server):
    data = build_package({"gps": app_files("gps", "2.1.0", settings="MOD_GPS_ENABLED=0\n", snmp=True)})
    f = content_server.add_file("gps_2.1.0.tgz", data)
    assert deploy.run("download_app", "gps", "2.1.0", f.url) == "Ok"
    deploy.clear()

    assert deploy.run("install_downloaded_app", "gps", f.url) == "ok"
    assert deploy.commands() == EXTRACT + ["tar -xzf ROOT/tmp/gps_2.1.0.tgz -C ROOT/tmp/module/"] + \
        fresh_install("gps", snmp=True) + ["rm -rf ROOT/tmp/module/"]
    assert deploy.messages() == ["Installing 'gps' version '2.1.0'."]
    r = deploy.router
    assert r.read("opt/gps/etc/version") == "2.1.0 (2024-05-02)"
    assert os.readlink(r.path("var/www/gps")) == str(r.path("opt/gps/www"))
    assert r.path("var/www/gps/index.html").read_text().startswith("<html><body>gps 2.1.0")
    assert not r.exists("tmp/gps_2.1.0.tgz") and not r.exists("tmp/module")
    assert deploy.run("installed_apps") == "gps 2.1.0"


def test_update_keeps_the_settings(deploy):
    r = deploy.router
    r.install_app("gps", "1.0", files={"etc/settings": "MOD_GPS_ENABLED=1\nMOD_GPS_PORT=4001\n"})
    r.write("var/www/gps", "an old link target")
    plant(deploy, "gps_2.0.tgz", {"gps": app_files("gps", "2.0", settings="MOD_GPS_ENABLED=0\nMOD_GPS_PORT=2947\n"
                                                                           "MOD_GPS_RATE=1\n")})
    assert deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz")) == "ok"
    assert deploy.commands() == EXTRACT + ["tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/"] + \
        update("gps") + ["rm -rf ROOT/tmp/module/"]
    assert deploy.messages() == ["Installing 'gps' version '2.0'."]
    # The operator's values survive; a key new in this version keeps its default.
    assert r.read("opt/gps/etc/settings").splitlines() == ["MOD_GPS_ENABLED=1", "MOD_GPS_PORT=4001", "MOD_GPS_RATE=1"]
    assert r.read("opt/gps/etc/version") == "2.0 (2024-05-02)"
    assert os.path.islink(r.path("var/www/gps"))


def test_two_apps_in_one_package_in_directory_order(deploy):
    r = deploy.router
    r.install_app("beta", "0.9", files={"etc/settings": "MOD_BETA_MODE=custom\n", "lib/snmpd.so": "old"})
    # The first install script to run notes the extraction directory's order
    # (ls -f: unsorted, as the directory yields its entries).
    note_order = {"etc/install": (Router.recorder_script(
        'o="$VELMO_SIM/module-order"; [ -f "$o" ] || ls -f "$VELMO_ROOT/tmp/module" > "$o"'), 0o755)}
    plant(deploy, "bundle_1.0.tgz", {
        "alpha": app_files("alpha", "1.0", extra=note_order),
        "beta": app_files("beta", "1.0", settings="MOD_BETA_MODE=default\n", snmp=True, extra=note_order),
    })
    assert deploy.run("install_downloaded_app", "bundle", pkg_url("bundle_1.0.tgz")) == "ok"
    order = [d for d in (r.sim / "module-order").read_text().split() if d in ("alpha", "beta")]
    assert sorted(order) == ["alpha", "beta"]
    steps = {"alpha": fresh_install("alpha"), "beta": update("beta", snmp=True)}
    tar = "tar -xzf ROOT/tmp/bundle_1.0.tgz -C ROOT/tmp/module/"
    assert deploy.commands() == EXTRACT + [tar] + steps[order[0]] + steps[order[1]] + ["rm -rf ROOT/tmp/module/"]
    assert deploy.messages() == ["Installing 'bundle' version '1.0'."]
    assert r.read("opt/beta/etc/settings") == "MOD_BETA_MODE=custom\n"
    assert sorted(deploy.run("installed_apps").splitlines()) == ["alpha 1.0", "beta 1.0"]


def copy_failed(source):
    return f"error: install_downloaded_actual_app: Failed to copy '{source}' to 'ROOT/opt/'."


def test_failed_copy_of_a_fresh_app_removes_the_half_copy_and_fails(deploy):
    """A real cp that runs out of space in the apps directory."""
    r = deploy.router
    big = os.urandom(256 * 1024)   # does not fit a 64 KiB apps directory
    plant(deploy, "gps_2.0.tgz", {"gps": app_files("gps", "2.0", extra={"lib/big.so": (big, 0o644)})})
    out = deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz"),
                     setup='mount -t tmpfs -o size=64k tmpfs "$0/opt" && ')
    assert out.replace(deploy.root, "ROOT") == copy_failed("ROOT/tmp/module/gps")
    assert deploy.commands() == EXTRACT + ["tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/",
                                           "cp -rdf ROOT/tmp/module/gps ROOT/opt/", "rm -rf ROOT/opt/gps"]
    assert not os.path.lexists(r.path("var/www/gps"))
    assert r.exists("tmp/module/gps/etc/install"), "the extraction directory is kept for a look"


@pytest.mark.parametrize("tool, first_arg, stop_after, output", [
    # The copy into the apps directory fails: its half copy is removed, the
    # saved settings are neither restored over nothing nor deleted.
    ("cp", "-rdf", 4, copy_failed("ROOT/tmp/module/gps")),
    # The settings cannot be set aside: the app is not removed at all, and it
    # is started again.
    ("cp", "ROOT/opt/gps/etc/settings", 2,
     "error: install_downloaded_actual_app: Failed to copy 'ROOT/opt/gps/etc/settings' to "
     "'ROOT/tmp/module/settings.gps'."),
])
def test_failed_copy_during_an_update_stops_it(deploy, tool, first_arg, stop_after, output):
    r = deploy.router
    r.install_app("gps", "1.0", files={"etc/settings": "MOD_GPS_ENABLED=1\n"})
    plant(deploy, "gps_2.0.tgz", {"gps": app_files("gps", "2.0", settings="MOD_GPS_ENABLED=0\n")})
    deploy.fail(tool, first_arg, 1)
    out = deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz"))
    assert out.replace(deploy.root, "ROOT") == output
    cleanup = ["rm -rf ROOT/opt/gps"] if first_arg == "-rdf" else ["ROOT/opt/gps/etc/init start"]
    assert deploy.commands() == EXTRACT + ["tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/"] + \
        update("gps")[:stop_after] + cleanup
    if first_arg == "-rdf":
        assert not r.exists("opt/gps")
        assert r.read("tmp/module/settings.gps") == "MOD_GPS_ENABLED=1\n", "the saved settings are kept"
    else:
        assert r.read("opt/gps/etc/settings") == "MOD_GPS_ENABLED=1\n"
        assert r.read("opt/gps/etc/version") == "1.0"


def test_an_app_without_settings_is_still_updated(deploy):
    r = deploy.router
    r.install_app("gps", "1.0")   # no etc/settings: the backup copy fails harmlessly
    plant(deploy, "gps_2.0.tgz", {"gps": app_files("gps", "2.0")})
    assert deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz")) == "ok"
    assert deploy.commands() == EXTRACT + ["tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/"] + \
        update("gps") + ["rm -rf ROOT/tmp/module/"]
    assert r.read("opt/gps/etc/version") == "2.0 (2024-05-02)"


def test_failed_move_of_the_firmware_keeps_the_image(deploy):
    deploy.router.write("tmp/firmware_6.4.0.bin", b"IMAGE")
    deploy.fail("mv", "ROOT/tmp/firmware_6.4.0.bin", 1)
    out = deploy.run("install_downloaded_app", "firmware", pkg_url("firmware_6.4.0.bin"), "firmware")
    assert out.replace(deploy.root, "ROOT") == \
        "error: Failed to move downloaded firmware file from 'ROOT/tmp/firmware_6.4.0.bin' to 'ROOT/tmp/module/'."
    assert deploy.commands() == EXTRACT + ["mv ROOT/tmp/firmware_6.4.0.bin ROOT/tmp/module/"]
    assert deploy.router.read("tmp/firmware_6.4.0.bin") == "IMAGE"
    assert deploy.router.exists("tmp/module") and deploy.messages() == []


def test_the_package_this_download_wrote_is_installed(deploy):
    r = deploy.router
    # A leftover of an earlier download of another version sorts and lists first.
    plant(deploy, "gps_0.9.tgz", {"gps": app_files("gps", "0.9")})
    plant(deploy, "gps_2.0.tgz", {"gps": app_files("gps", "2.0")})
    assert deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz")) == "ok"
    assert "tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/" in deploy.commands()
    assert r.read("opt/gps/etc/version") == "2.0 (2024-05-02)"
    assert r.exists("tmp/gps_0.9.tgz")


def test_planted_links_in_the_temporary_directory_are_not_followed(deploy, content_server):
    r = deploy.router
    r.write("victim/keep", "precious")
    os.symlink(r.path("victim"), r.path("tmp/module"))
    r.write("victim.tgz", "precious")
    f = content_server.add_file("gps_2.0.tgz", build_package({"gps": app_files("gps", "2.0")}))
    os.symlink(r.path("victim.tgz"), r.path("tmp/gps_2.0.tgz"))
    assert deploy.run("download_app", "gps", "2.0", f.url) == "Ok"
    assert r.read("victim.tgz") == "precious"
    assert deploy.run("install_downloaded_app", "gps", f.url) == "ok"
    # The command lines are the usual ones; the link was removed, not followed.
    assert deploy.commands()[-len(fresh_install("gps")) - 4:] == EXTRACT + [
        "tar -xzf ROOT/tmp/gps_2.0.tgz -C ROOT/tmp/module/"] + fresh_install("gps") + ["rm -rf ROOT/tmp/module/"]
    assert r.read("victim/keep") == "precious" and os.listdir(r.path("victim")) == ["keep"]
    assert r.read("opt/gps/etc/version") == "2.0 (2024-05-02)"


def test_uninstall(deploy):
    r = deploy.router
    r.install_app("gps", "1.0", files={"lib/snmpd.so": "x", "www/index.html": "gps"})
    os.symlink(r.path("opt/gps/www"), r.path("var/www/gps"))
    r.write("var/data/gps/state", "{}")
    r.install_app("web", "1.0")
    assert deploy.run("uninstall_app", "gps") == "ok"
    assert deploy.commands() == [
        "ROOT/opt/gps/etc/init stop",
        "ROOT/opt/gps/etc/uninstall",
        "rm -rf ROOT/opt/gps ROOT/var/www/gps",
        "rm -rf ROOT/var/data/gps",
        "/etc/rc.d/init.d/snmp restart",
    ]
    assert deploy.messages() == ["Uninstalling 'gps'."]
    assert not r.exists("opt/gps") and not os.path.lexists(r.path("var/www/gps")) and not r.exists("var/data/gps")
    assert deploy.run("installed_apps") == "web 1.0"

    deploy.clear()
    assert deploy.run("uninstall_app", "gps") == "ok"
    assert deploy.commands() == []
    assert deploy.messages() == ["Uninstalling 'gps' (skipped: application not found)."]


def test_the_agent_updates_itself_through_its_reinstall_script(deploy):
    r = deploy.router
    r.install_agent("1.0.0")
    # The reinstall script finds the new package extracted and notes its version.
    r.write("opt/velmo_client/etc/reinstall", r.recorder_script(
        'cat "$VELMO_ROOT/tmp/module/velmo_client/etc/version" > "$VELMO_SIM/reinstall-saw"'), 0o755)
    plant(deploy, "velmo_client_1.1.0.tgz", {"velmo_client": app_files("velmo_client", "1.1.0")})
    assert deploy.run("install_downloaded_app", "velmo_client", pkg_url("velmo_client_1.1.0.tgz")) == "ok"
    assert deploy.commands() == EXTRACT + [
        "tar -xzf ROOT/tmp/velmo_client_1.1.0.tgz -C ROOT/tmp/module/",
        "ROOT/opt/velmo_client/etc/reinstall",
        "rm -rf ROOT/tmp/module/",
    ]
    assert deploy.messages() == ["Updating 'velmo_client' version '1.1.0'."]
    assert (r.sim / "reinstall-saw").read_text() == "1.1.0 (2024-05-02)"
    assert r.read("opt/velmo_client/etc/version") == "1.0.0", "only the reinstall script replaces the agent"


@pytest.mark.parametrize("content, output", [
    (b"not a gzip archive", "error: Failed to extract downloaded application package "
                            "'{root}/tmp/gps_2.0.tgz' to '{root}/tmp/module/'."),
    (build_package({}), "error: install_downloaded_actual_app: No installation package was found."),
], ids=["not-gzip", "empty-package"])
def test_broken_packages(deploy, content, output):
    deploy.router.write("tmp/gps_2.0.tgz", content)
    assert deploy.run("install_downloaded_app", "gps", pkg_url("gps_2.0.tgz")) == output.format(root=deploy.root)
    assert deploy.commands()[-1].startswith("tar -xzf ROOT/tmp/gps_2.0.tgz")
    assert deploy.router.exists("tmp/gps_2.0.tgz") == (b"gzip" in content), "a package that tar rejects stays"


# ----- hostile names ---------------------------------------------------------


def test_hostile_names_run_nothing(deploy, content_server):
    """Names from the URL, the temporary directory's listing and the package
    reach the shell quoted: the commands hidden in them never run."""
    r = deploy.router
    # A download whose file name and identifier would each run a command.
    f = content_server.add_file("gps_1.0;fwupdate;.tgz", payload(2000), file_id="x';fwupdate;'")
    assert deploy.run("download_app", "gps", "1.0", f.url) == "Ok"
    assert r.path("tmp/gps_1.0;fwupdate;.tgz").read_bytes() == f.data
    assert content_server.info_requests(f) == ["/fileinfo/x';fwupdate;'"]
    r.path("tmp/gps_1.0;fwupdate;.tgz").unlink()

    # A planted package with a blank and a ';' in its name, and an app
    # directory inside named likewise.
    evil = "we b;fwupdate"
    package = plant(deploy, "gps_1.0 ;fwupdate;.tgz", {"gps": app_files("gps", "1.0"), evil: app_files(evil, "1.0")})
    assert deploy.run("install_downloaded_app", "gps", pkg_url("gps_1.0 ;fwupdate;.tgz")) == "ok"
    cmds = deploy.commands()
    assert not any(argv[0].endswith("/fwupdate") for argv in r.journal()), cmds
    assert f"tar -xzf {package} -C ROOT/tmp/module/" in cmds
    assert [argv for argv in r.journal() if argv[0].endswith("/tar")][0][2] == package.replace("ROOT", deploy.root)
    assert f"ROOT/opt/{evil}/etc/init start" in cmds and "ROOT/opt/gps/etc/init start" in cmds
    assert r.read(f"opt/{evil}/etc/name") == evil + "\n"
    assert os.readlink(r.path(f"var/www/{evil}")) == str(r.path(f"opt/{evil}/www"))

    deploy.clear()
    assert deploy.run("uninstall_app", evil) == "ok"
    assert not any(argv[0].endswith("/fwupdate") for argv in r.journal())
    assert not r.exists(f"opt/{evil}") and r.exists("opt/gps")
