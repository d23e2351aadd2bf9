"""One collection of measurements inside the simulated router (measure_probe):
every metric's JSON type and value from the router's own sources, the
traffic counters, the pings in parallel, the GPS daemon, and the sources
whose failure ends the collection."""
import os
import socket
import struct

import pytest

from fixtures_measure import measure
from fixtures_status import install_platform_libs

SUMMARY_FLOW = ("tcp      6 431999 ESTABLISHED src={src} dst=192.0.2.10 sport=40112 dport={port} "
                "src=192.0.2.10 dst={src} sport={port} dport=40112 [ASSURED] mark=0 use=1")
EVERY_METRIC = ["GpsLat", "GpsLon", "GpsAlt", "CustStr", "CustStr3", "CustNum", "CustNum7", "Temperature",
                "DataUpR", "DataDownR", "DataMixedR", "DeviceUptime", "SuppVoltage", "CpuUsage", "MemUsage",
                "MoUptime", "MoChannel", "MoSigStrength", "MoSigQuality", "MoCell", "MoLac", "MoTodayCells",
                "RtcBattery", "MoTechnology", "MoOperator", "MoSim", "MoPlmn", "MoBand", "Iccid", "WanIfaceIp",
                "ProdRevision", "MoLastConnect", "MoLastDisconnect", "DataUpC"]
PINGS = {"PingLat": "127.0.0.1", "PingLat2": "127.0.0.2", "PingLat3": "", "PingLatX": "127.0.0.3",
         "PingStat": "127.0.0.4", "PingStat2": "192.0.2.1"}


def single(value):
    """The double that a single-precision value becomes."""
    return struct.unpack("f", struct.pack("f", value))[0]


def mobile(**changes):
    values = {"Operator": "Velnet", "Technology": "LTE", "Cell": "1A2B3C", "Channel": "1300",
              "Signal Strength": "-71 dBm", "Signal Quality": "-9 dB", "LAC": "0F12", "TAC": "0F12",
              "Band": "B3", "PLMN": "27201"}
    values.update(changes)
    return values


def tool_runs(router, name):
    return [argv[1:] for argv in router.journal() if os.path.basename(argv[0]) == name]


def test_every_metric_from_the_routers_sources(router, gpsd_factory):
    gpsd = gpsd_factory("gps_fix.nmea")
    router.install_gps(gpsd.port)
    router.set_interface("ppp0", rx=1234567, tx=733)
    router.set_status("mobile", mobile(LAC="N/A", Band="LTE BAND 3 (1800 MHz) / carrier aggregation"))
    router.set_status("sys", {"Product Name": "RV-5200", "RTC Battery": "Ok"})
    router.set_status("ppp", {"Interface": "ppp0", "Uptime": "0 days, 1 hours, 2 minutes", "SIM Card": "Primary"})
    router.set_conntrack([SUMMARY_FLOW.format(src="10.0.0.7", port=1883),
                          SUMMARY_FLOW.format(src="10.64.64.64", port=8883)])
    custom = router.data("custom_metrics")
    custom.mkdir()
    (custom / "custom_str1").write_text("first\n")
    (custom / "custom_str3").write_text("x" * 50)
    (custom / "custom_number1").write_text("abc")
    (custom / "custom_number7").write_text("7.25")
    now = router.sim / "ppp" / "iface-m0.now"
    now.write_text("")
    os.utime(now, (1700000000, 1700000000))
    install_platform_libs(router)
    (router.sim / "platform" / "sim0").write_text("3 1\n")
    (router.sim / "platform" / "sim1").write_text("7 2\n")

    out = measure(router, {**{name: "" for name in EVERY_METRIC}, **PINGS}, "--port", 8883)
    values = out["values"]
    cpu, mem = values.pop("CpuUsage"), values.pop("MemUsage")
    expected = {
        "GpsLat": single(46.0569), "GpsLon": single(14.5058), "GpsAlt": 295.0,
        "CustStr": "first\n", "CustStr3": "x" * 40, "CustNum": 0.0, "CustNum7": 7.25,
        "PingLat": 0, "PingLat2": 0, "PingLat3": -1, "PingStat": True, "PingStat2": False,
        # The router has no GPIO device: no temperature, the voltage query's -1.
        "Temperature": None, "SuppVoltage": -1,
        "DataUpR": 0.00073, "DataDownR": 1.23457, "DataMixedR": 1.2353,
        "DeviceUptime": 3600, "MoUptime": 372000, "MoChannel": 1300, "MoSigStrength": -71, "MoSigQuality": -9,
        "MoCell": 0x1A2B3C, "MoLac": 0x0F12, "MoTodayCells": 12, "RtcBattery": True,
        "MoTechnology": "LTE", "MoOperator": "Velnet", "MoSim": "Primary", "MoPlmn": "27201",
        "MoBand": "LTE BAND 3 (1800 MHz) / carrier"[:31], "Iccid": "8935101234567890123",
        "WanIfaceIp": "10.64.64.64", "ProdRevision": "EC25EFAR06A06M4G",
        "MoLastConnect": "2023-11-14T22:13:20.000Z", "MoLastDisconnect": None,
    }
    assert values == expected
    assert {k: type(v) for k, v in values.items()} == {k: type(v) for k, v in expected.items()}
    assert type(cpu) is int and type(mem) is int
    assert abs(cpu - float(open("/proc/loadavg").read().split()[0]) * 100) <= 100
    meminfo = {line.split(":")[0]: int(line.split()[1]) for line in open("/proc/meminfo")}
    assert abs(mem - (meminfo["MemTotal"] - meminfo["MemFree"]) * 0.001024) < 200
    assert out["downloads"] == {"last_delta": 1234567, "last_interface_value": 1234567}
    assert out["uploads"] == {"last_delta": 733, "last_interface_value": 733}

    assert tool_runs(router, "ifconfig") == [["ppp0"], ["ppp0"]]
    assert tool_runs(router, "conntrack") == [["-L"]]
    assert sorted(tool_runs(router, "ping")) == [
        ["", "-c", "2", "-W", "8"], ["127.0.0.1", "-c", "2", "-W", "8"], ["127.0.0.2", "-c", "2", "-W", "8"],
        ["127.0.0.4", "-c", "1", "-W", "8"], ["192.0.2.1", "-c", "1", "-W", "8"]]
    assert router.messages(severity="warning") == [
        "Warning: CustomStr3 size was over the limit and had to be truncated (max size is 40).",
        "Warning: File '/var/data/velmo_client//custom_metrics/custom_number1' does not contain a valid number."]


def test_pings_of_one_collection_run_at_the_same_time(router):
    # Two echo requests a second apart: each ping lives for about a second.
    measure(router, {"PingLat": "127.0.0.1", "PingLat2": "127.0.0.2"})
    times = {host: (start, end) for start, end, host in router.ping_times()}
    (start1, end1), (start2, end2) = times["127.0.0.1"], times["127.0.0.2"]
    assert end1 - start1 > 0.5 and end2 - start2 > 0.5
    assert start1 < end2 and start2 < end1, times


@pytest.mark.parametrize("previous, counters, expected", [
    # stored (down, up), ifconfig (rx, tx), deltas (down, up)
    ((0, 0), (981, 733), (981, 733)),
    ((1000, 700), (1500, 900), (500, 200)),
    ((5000, 700), (1200, 900), (1200, 200)),                       # received counter went down
    ((4294967040, 700), (256, 700), (512, 0)),                     # 32-bit counter wrapped
], ids=["first", "grew", "went down", "wrapped"])
def test_traffic_deltas_against_the_stored_counters(router, previous, counters, expected):
    router.set_interface("ppp0", rx=counters[0], tx=counters[1])
    out = measure(router, {"DataDownR": "", "DataUpR": ""}, "--counters", *previous)
    assert out["downloads"] == {"last_delta": expected[0], "last_interface_value": counters[0]}
    assert out["uploads"] == {"last_delta": expected[1], "last_interface_value": counters[1]}
    assert out["values"] == {"DataDownR": round(expected[0] / 1e6, 5), "DataUpR": round(expected[1] / 1e6, 5)}


def test_interface_na_runs_no_ifconfig(router):
    router.set_status("ppp", {"Interface": "N/A"})
    out = measure(router, {"DataMixedR": ""})
    assert out["values"] == {"DataMixedR": 0.0}
    assert tool_runs(router, "ifconfig") == []


@pytest.mark.parametrize("setup, raised", [
    (lambda r: r.set_status("ppp", {"Interface": "ppp9", "Uptime": "N/A"}), "raised: stoull"),
    (lambda r: r.set_status("ppp", {"Interface": "ppp0", "Uptime": "1 hours"}), "raised: get_ppp_uptime: unreadable uptime"),
    (lambda r: r.install_gps(None),
     "raised: Key 'MOD_GPS_GPSD_PORT_LISTEN' was not found in '/opt/gps/etc/settings' file."),
], ids=["missing interface", "unreadable ppp uptime", "gps port missing"])
def test_failing_unguarded_source_ends_the_collection(router, setup, raised):
    router.set_interface("ppp0", rx=1, tx=2)
    setup(router)
    err = measure(router, {"MoUptime": "", "MoOperator": ""}, expect_rc=3)
    assert err.strip() == raised


def test_gps_app_not_installed_never_contacts_the_daemon(router):
    listener = socket.create_server(("127.0.0.1", 0))
    listener.setblocking(False)
    router.install_app("other", "1.0")
    router._upper("opt", "gps/etc/settings", f"MOD_GPS_GPSD_PORT_LISTEN={listener.getsockname()[1]}\n", 0o644)
    out = measure(router, {"GpsLat": "", "GpsLon": "", "GpsAlt": ""})
    assert out["values"] == {}
    with pytest.raises(BlockingIOError):
        listener.accept()
    listener.close()


def test_gps_without_a_fix_in_twenty_attempts(router, gpsd_factory):
    # A sentence every 4 s: most attempts wait their whole 2 s for data, which
    # the probe's fast clock cuts short (40 s of waits would exceed the timeout).
    gpsd = gpsd_factory("gps_nofix.nmea", cycle=4)
    router.install_gps(gpsd.port)
    out = measure(router, {"GpsLat": "", "GpsLon": "", "GpsAlt": ""}, "--fast-clock", timeout=20)
    assert out["values"] == {}
    assert not [m for m in router.messages() if "GPS" in m or "gps" in m]


def test_gps_daemon_not_reachable(router):
    listener = socket.create_server(("127.0.0.1", 0))
    port = listener.getsockname()[1]
    listener.close()
    router.install_gps(port)
    out = measure(router, {"GpsLat": ""})
    assert out["values"] == {}
    logs = [(e["severity"], e["msg"]) for e in router.logs() if "GPS" in e["msg"]]
    assert logs == [
        ("info", f"Failed to connect to GPS daemon ('127.0.0.1:{port}'): can't connect to host/port pair."),
        ("debug", "Please make sure that GPSD is enabled in GPS settings.")]


def test_fallbacks_of_missing_sources(router):
    # No PPP state files, no established flow, no platform library, empty
    # status values; the history still holds the last connection time.
    router.set_status("mobile", mobile(Operator="", PLMN="N/A", LAC="N/A", TAC="N/A"))
    out = measure(router, {"MoLastConnect": "", "MoLastDisconnect": "", "WanIfaceIp": "", "MoTodayCells": "",
                           "MoOperator": "", "MoPlmn": "", "MoLac": ""},
                  "--history", "MoLastConnect", "2023-01-02T03:04:05.000Z")
    assert out["values"] == {"MoLastConnect": "2023-01-02T03:04:05.000Z", "MoLastDisconnect": None,
                             "WanIfaceIp": None, "MoTodayCells": 0, "MoOperator": None, "MoPlmn": None, "MoLac": 0}
    assert router.messages() == [
        "Failed to read WanIp. ()",
        "Failed to obtain measurement 'MoLastConnect'. (No such file or directory)",
        "Failed to obtain measurement 'MoLastDisconnect'. (No such file or directory)"]
