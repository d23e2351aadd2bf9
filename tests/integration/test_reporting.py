"""Metrics reports of the real agent against the reference management server:
a full report of every metric, the next report by OnChange / Always /
threshold, a measurement that fails, and the history that a restart
continues from. libfaketime makes the one-minute report period pass in six
seconds."""
import json
import os
import re
import struct

import pytest

from fixtures_service import DEVICE
from testbed.router import DEFAULT_STATUS

FAST = "+0 x10"
SUMMARY_FLOW = ("tcp      6 431999 ESTABLISHED src={src} dst=192.0.2.10 sport=40112 dport={port} "
                "src=192.0.2.10 dst={src} sport={port} dport=40112 [ASSURED] mark=0 use=1")


def single(value):
    """The double that a single-precision value becomes."""
    return struct.unpack("f", struct.pack("f", value))[0]


def entry(include, threshold=None, args=None):
    e = {"include": include}
    if threshold is not None:
        e["threshold"] = threshold
    if args is not None:
        e["args"] = args
    return e


def set_profile(router, reporting):
    """A configuration profile on the router before the agent starts."""
    router.data("config_profile.conf").write_text(json.dumps({"reporting": reporting}))


def start_agent(router):
    # File times stay real: the connection times are modification times.
    return router.start(router.agent_argv(), faketime=FAST, env={"NO_FAKE_STAT": "1"})


def start(service, router, reporting):
    service.prepare(router, MONITORING_INTERVAL=1)
    set_profile(router, reporting)
    return start_agent(router)


def stop(proc):
    proc.terminate()
    assert proc.wait(30) == 0


def report(message):
    """The payload of a Metrics message, checked for its envelope and time."""
    assert message.topic == f"sr/{DEVICE}/notify/metrics" and message.qos == 2 and not message.retain
    body = message.json()
    assert body["t"] == 2 and set(body) == {"p", "t"}
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.000Z", body["p"].pop("dt"))
    return body["p"]


def test_every_metric_in_a_full_report_then_only_what_the_policies_say(service, router, gpsd_factory):
    gpsd = gpsd_factory("gps_fix.nmea")
    router.install_gps(gpsd.port)
    router.set_interface("ppp0", rx=1234567, tx=733)
    router.set_conntrack([SUMMARY_FLOW.format(src="10.64.64.64", port=service.ms_broker.port)])
    custom = router.data("custom_metrics")
    custom.mkdir()
    (custom / "custom_str1").write_text("first")
    (custom / "custom_number7").write_text("7.25")
    connected = router.sim / "ppp" / "iface-m0.now"
    connected.write_text("")
    os.utime(connected, (1700000000, 1700000000))
    on_change = entry("OnChange")
    reporting = {
        "GpsLat": on_change, "GpsLon": on_change, "GpsAlt": on_change, "CustStr1": on_change,
        "CustNum7": entry("OnChange", 0.5), "Temperature": on_change, "DataUpR": on_change,
        "DataDownR": on_change, "DataMixedR": entry("Always"), "DeviceUptime": on_change, "SuppVoltage": on_change,
        "CpuUsage": on_change, "MemUsage": on_change, "MoUptime": on_change, "MoChannel": entry("OnChange", 5),
        "MoSigStrength": entry("OnChange", 5), "MoSigQuality": on_change, "MoCell": on_change, "MoLac": on_change,
        "MoTodayCells": on_change, "RtcBattery": entry("Always"), "MoTechnology": entry("Always"),
        "MoOperator": on_change, "MoSim": on_change, "MoPlmn": on_change, "MoBand": on_change,
        "Iccid": entry("Never"), "WanIfaceIp": on_change, "ProdRevision": on_change, "MoLastConnect": on_change,
        "MoLastDisconnect": on_change, "PingLat": entry("OnChange", args="127.0.0.1"),
        "PingStat": entry("OnChange", args="127.0.0.1"),
    }
    proc = start(service, router, reporting)

    first = report(service.ms.metrics(timeout=60))
    assert set(first) == {"chv"}, "a full report has every value as changed"
    chv = first["chv"]
    cpu, mem, latency = chv.pop("CpuUsage"), chv.pop("MemUsage"), chv.pop("PingLat")
    expected = {
        "GpsLat": single(46.0569), "GpsLon": single(14.5058), "GpsAlt": 295.0,
        "CustStr1": "first", "CustNum7": 7.25, "Temperature": None,
        "DataUpR": 0.00073, "DataDownR": 1.23457, "DataMixedR": 1.2353,
        "DeviceUptime": 3600, "SuppVoltage": -1, "MoUptime": 390000, "MoChannel": 1300, "MoSigStrength": -71,
        "MoSigQuality": -9, "MoCell": 0x1A2B3C, "MoLac": 0x0F12, "MoTodayCells": 0,
        "RtcBattery": False,  # the status says "OK", not "Ok"
        "MoTechnology": "LTE", "MoOperator": "Velnet", "MoSim": "Primary", "MoPlmn": "27201", "MoBand": "B3",
        "WanIfaceIp": "10.64.64.64", "ProdRevision": "EC25EFAR06A06M4G",
        "MoLastConnect": "2023-11-14T22:13:20.000Z", "MoLastDisconnect": None, "PingStat": True,
    }
    assert chv == expected, "Iccid (Never) is left out"
    assert {k: type(v) for k, v in chv.items()} == {k: type(v) for k, v in expected.items()}
    assert type(cpu) is int and type(mem) is int and type(latency) is int and latency >= 0

    # One period later, by policy: a signal change below its threshold and a
    # custom number whose difference truncates to 0 stay out; a channel that
    # fell to 0 is in although the threshold is larger; the values that still
    # read null (temperature, last disconnection) are not sent again.
    changes = {"Signal Strength": "-74 dBm", "Channel": "0", "Cell": "1A2B3D", "Operator": "N/A"}
    router.set_status("mobile", dict(DEFAULT_STATUS["mobile"], **changes))
    (custom / "custom_number7").write_text("7.9")
    router.set_interface("ppp0", rx=1234567 + 1000, tx=733)
    second = report(service.ms.metrics(count=2, timeout=60))
    for volatile in ("CpuUsage", "MemUsage", "PingLat"):
        second["chv"].pop(volatile, None)
    assert second == {
        "chv": {"MoChannel": 0, "MoCell": 0x1A2B3D, "MoOperator": None, "DataDownR": 0.001, "DataUpR": 0.0,
                "DataMixedR": 0.001},
        "v": {"MoTechnology": "LTE", "RtcBattery": False},
    }
    stop(proc)
    # The local-change checks complain about the profile's missing sections; the reports have no errors.
    assert not [m for m in router.messages("velmo_client", severity="err") if "system" not in m]


def test_a_failing_measurement_cancels_the_report_and_the_next_is_full(service, router):
    router.set_interface("ppp0", None, None)  # ifconfig fails for the mobile interface
    reporting = {"MoOperator": entry("OnChange"), "GpsLat": entry("OnChange"), "GpsLon": entry("OnChange"),
                 "GpsAlt": entry("OnChange"), "DataUpC": entry("Always"), "Bogus": entry("OnChange")}
    proc = start(service, router, reporting)
    line = router.wait_for_log("Failure while preparing a report:", proc=proc, timeout=60)
    assert line["severity"] == "err" and line["msg"] == "Failure while preparing a report: 'stoull'"

    router.clear_logs()
    router.set_interface("ppp0", rx=10, tx=20)
    message = service.ms.metrics(timeout=60)
    assert len(service.ms.messages("notify/metrics")) == 1, "nothing was sent for the failed report"
    assert report(message) == {"chv": {"MoOperator": "Velnet"}}
    msgs = router.messages("velmo_client")
    assert msgs.count("Skipping report of GPS metric: measurement was not found.") == 1
    assert "Ignoring report of metric 'DataUpC': measurement is deprecated." in msgs
    assert router.messages("velmo_client", severity="warning") == [
        "Skipping report of metric 'Bogus': measurement was not found.",
        "Skipping report of GPS metric: measurement was not found."]
    stop(proc)


def test_the_history_is_saved_at_exit_and_a_restart_continues_from_it(service, router):
    router.set_interface("ppp0", rx=1000, tx=500)
    reporting = {"MoOperator": entry("OnChange"), "DataDownR": entry("OnChange"), "MoSim": entry("OnChange")}
    router.set_status("ppp", {"Interface": "ppp0", "Uptime": "N/A", "SIM Card": "N/A"})
    proc = start(service, router, reporting)
    assert report(service.ms.metrics(timeout=60)) == {
        "chv": {"DataDownR": 0.001, "MoOperator": "Velnet", "MoSim": None}}
    stop(proc)
    assert router.data("last_metrics.json").read_text() == (
        '{"downloads":{"last_delta":1000,"last_interface_value":1000},'
        '"last_changed_values":{"DataDownR":0.001,"MoOperator":"Velnet","MoSim":null},'
        '"uploads":{"last_delta":500,"last_interface_value":500}}')

    # The first report after a start is full; the traffic delta is taken
    # against the stored counter.
    router.set_interface("ppp0", rx=4000, tx=500)
    proc = start_agent(router)
    assert report(service.ms.metrics(count=2, timeout=60)) == {
        "chv": {"DataDownR": 0.003, "MoOperator": "Velnet", "MoSim": None}}
    stop(proc)
    saved = json.loads(router.data("last_metrics.json").read_text())
    assert saved["downloads"] == {"last_delta": 3000, "last_interface_value": 4000}


EMPTY = ('{"downloads":{"last_delta":0,"last_interface_value":0},'
         '"uploads":{"last_delta":0,"last_interface_value":0}}')


@pytest.mark.parametrize("stored, lines, quarantined, saved", [
    (None, ["No previously reported metrics were found."], False, EMPTY),
    ("{}", ["Item 'downloads' was not found within the metrics file.",
            "Item 'uploads' was not found within the metrics file.",
            "No previously reported metrics were found."], False, EMPTY),
    ("{not json", ["Metrics history could not be loaded from '{path}'. ([json.exception.parse_error.101] "
                   "parse error at line 1, column 3: syntax error while parsing object key - invalid literal; "
                   "last read: '{{no'; expected string literal)",
                   "No previously reported metrics were found."], True, EMPTY),
    ('{"downloads":{"last_delta":1},"last_changed_values":{"MoOperator":"Op"}}',
     ["Metrics history could not be loaded from '{path}'. "
      "(Mandatory element 'last_interface_value' is missing in metrics file.)"], True,
     '{"downloads":{"last_delta":0,"last_interface_value":0},"last_changed_values":{"MoOperator":"Op"},'
     '"uploads":{"last_delta":0,"last_interface_value":0}}'),
    ('{"downloads":{"last_delta":7,"last_interface_value":9},'
     '"last_changed_values":{"A":1.0,"B":2,"C":null,"D":4294967301,"E":false},'
     '"uploads":{"last_delta":-1,"last_interface_value":3}}', [], False,
     '{"downloads":{"last_delta":7,"last_interface_value":9},'
     '"last_changed_values":{"A":1.0,"B":2,"C":null,"D":5,"E":false},'
     '"uploads":{"last_delta":-1,"last_interface_value":3}}'),
], ids=["no file", "empty object", "not JSON", "member incomplete", "kinds kept"])
def test_history_file_loaded_at_start_and_saved_at_exit(service, router, stored, lines, quarantined, saved):
    service.prepare(router)
    path = router.data("last_metrics.json")
    if stored is not None:
        path.write_text(stored)
    proc = router.start(router.agent_argv())
    router.wait_for_log("State: 'INITIAL'", proc=proc)
    stop(proc)
    msgs = router.messages("velmo_client")
    start = msgs.index("Loading metric history from file.")
    history_lines = msgs[start + 1:msgs.index("State: 'INITIAL'")]
    assert history_lines == [line.format(path=path) for line in lines]
    err = router.data("last_metrics.json_err")
    assert err.exists() == quarantined and (not quarantined or err.read_text() == stored)
    assert path.read_text() == saved


def test_a_fix_without_altitude_reports_a_null_altitude_once(service, router, gpsd_factory):
    # Only RMC sentences: the daemon has a 2D fix and no altitude.
    gpsd = gpsd_factory("gps_2d.nmea")
    router.install_gps(gpsd.port)
    router.set_interface("ppp0", rx=10, tx=20)
    reporting = {"GpsLat": entry("OnChange"), "GpsAlt": entry("OnChange"), "MoTechnology": entry("Always")}
    proc = start(service, router, reporting)
    assert report(service.ms.metrics(timeout=60)) == {
        "chv": {"GpsLat": single(46.0569), "GpsAlt": None, "MoTechnology": "LTE"}}
    # One period later the altitude is still unknown: that is no change.
    assert report(service.ms.metrics(count=2, timeout=60)) == {"v": {"MoTechnology": "LTE"}}
    stop(proc)
