"""Router-app packages as the content server hands them out: gzip-compressed
tar archives whose top-level directories are app directories.

    files = app_files("gps", "2.1.0", settings="MOD_GPS_ENABLED=1\\n", snmp=True)
    data = build_package({"gps": files})          # bytes of gps_2.1.0.tgz

The scripts of an app (etc/init, etc/install, etc/uninstall) record their
calls in the router's journal, so a test sees when and how they were run.
"""
import io
import tarfile
import time

from testbed.router import Router


def app_files(name, version, settings="", snmp=False, version_text=None, init_body="", extra=None):
    """The files of one app directory: {relative path: (content, mode)}."""
    script = Router.recorder_script
    files = {
        "etc/name": (name + "\n", 0o644),
        "etc/version": (version_text if version_text is not None else f"{version} (2024-05-02)", 0o644),
        "etc/init": (script(init_body), 0o755),
        "etc/install": (script(), 0o755),
        "etc/uninstall": (script(), 0o755),
        "etc/settings": (settings, 0o644),
        "www/index.html": (f"<html><body>{name} {version}</body></html>\n", 0o644),
    }
    if snmp:
        files["lib/snmpd.so"] = (b"\x7fELF snmp module of " + name.encode(), 0o755)
    files.update(extra or {})
    return files


def build_package(apps):
    """A .tgz whose top-level directories are the given apps, in the given
    order: {directory name: files as app_files gives them}."""
    buf = io.BytesIO()
    now = int(time.time())
    with tarfile.open(fileobj=buf, mode="w:gz", format=tarfile.GNU_FORMAT) as tar:
        for top, files in apps.items():
            dirs = {top}
            for rel in files:
                parts = rel.split("/")[:-1]
                for i in range(1, len(parts) + 1):
                    dirs.add(top + "/" + "/".join(parts[:i]))
            for d in sorted(dirs, key=lambda p: (p.count("/"), p)):
                info = tarfile.TarInfo(d)
                info.type = tarfile.DIRTYPE
                info.mode = 0o755
                info.mtime = now
                tar.addfile(info)
            for rel, (content, mode) in files.items():
                data = content.encode() if isinstance(content, str) else content
                info = tarfile.TarInfo(top + "/" + rel)
                info.size = len(data)
                info.mode = mode
                info.mtime = now
                tar.addfile(info, io.BytesIO(data))
    return buf.getvalue()
