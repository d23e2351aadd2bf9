"""The router status reader inside the simulated router: the status tool's
cache, the "N/A" rules and limits, the identity values and the platform
libraries. The status_probe program performs the lookups; its clock stands
still at 5000.5 s unless an "advance-ms" action moves it, so cache expiry
never depends on how fast the machine is."""
import os

import pytest

from fixtures_status import install_platform_libs
from testbed.router import program

STATUS = "/usr/bin/status"


def probe(router, *actions):
    """Runs status_probe with the actions (strings and lists of strings are
    flattened into its argv) and returns its output lines."""
    argv = [str(program("status_probe"))]
    for action in actions:
        argv += action if isinstance(action, list) else [action]
    rc, out, err = router.run(argv)
    assert rc == 0, err
    return out.split("\n")[:-1]


def status_runs(router):
    """The sections of every status tool run, in order."""
    runs = [argv for argv in router.journal() if argv[0] == STATUS]
    assert all(len(argv) == 3 and argv[1] == "-v" for argv in runs), runs
    return [argv[2] for argv in runs]


def value(section, key):
    return ["value", section, key]


LONG_A = "s" * 31 + "-first"
LONG_B = "s" * 31 + "-second"

CACHE_CASES = [
    # id, extra status sections, actions, expected output, expected runs of the tool
    ("same section back to back", {},
     [value("mobile", "Operator"), value("mobile", "Technology")],
     ["Velnet", "LTE"], ["mobile"]),
    ("another section in between", {},
     [value("mobile", "Operator"), value("sys", "Product Name"), value("mobile", "Technology")],
     ["Velnet", "RV-5200", "LTE"], ["mobile", "sys", "mobile"]),
    ("kept to the end of the next second", {},
     [value("mobile", "Operator"), ["advance-ms", "1499"], value("mobile", "Technology")],
     ["Velnet", "LTE"], ["mobile"]),
    ("expired two seconds on", {},
     [value("mobile", "Operator"), ["advance-ms", "1500"], value("mobile", "Technology")],
     ["Velnet", "LTE"], ["mobile", "mobile"]),
    ("rejected section leaves the cache alone", {},
     [value("mobile", "Operator"), value("nosuch", "Operator"), value("mobile", "Technology")],
     ["Velnet", "N/A", "LTE"], ["mobile", "nosuch"]),
    ("section name of 31 characters is cached", {"s" * 31: "Key : short\n"},
     [value("s" * 31, "Key"), value("s" * 31, "Key")],
     ["short", "short"], ["s" * 31]),
    ("longer section names are never mixed up", {LONG_A: "Key : a\n", LONG_B: "Key : b\n"},
     [value(LONG_A, "Key"), value(LONG_B, "Key"), value(LONG_A, "Key")],
     ["a", "b", "a"], [LONG_A, LONG_B, LONG_A]),
]


@pytest.mark.parametrize("sections,actions,output,runs", [c[1:] for c in CACHE_CASES],
                         ids=[c[0] for c in CACHE_CASES])
def test_cache_runs_the_tool_once_per_section_and_second(status_router, sections, actions, output, runs):
    for section, text in sections.items():
        status_router.set_status(section, text)
    assert probe(status_router, *actions) == output
    assert status_runs(status_router) == runs


def test_failing_tool_answers_na_and_keeps_the_cached_section(status_router):
    out = probe(status_router,
                value("mobile", "Operator"),
                ["sim-write", "rc/status", "3"],   # the tool now prints its section but exits with 3
                value("sys", "Product Name"),
                value("mobile", "Technology"),     # still the cached mobile section
                ["advance-ms", "5000"],
                value("mobile", "Technology"))     # expired, and the tool fails
    assert out == ["Velnet", "N/A", "LTE", "N/A"]
    assert status_runs(status_router) == ["mobile", "sys", "mobile"]


def test_values_na_rules_and_accessors(status_router):
    status_router.set_status("sys", {"Product Name": "P" * 40, "Firmware Version": "6.3.10 (2023-04-18)",
                                     "Serial Number": "RV5200-0042"})
    status_router.set_status("mobile", "Operator : \nCell ID : 1A2B3C\nChannel : 1300 MHz\n"
                                       "Signal Strength : -71 dBm\nLAC : " + "x" * 200 + "\n")
    status_router.set_status("mobile 2", {"Operator": "Othernet", "Signal Strength": "-90 dBm",
                                          "Signal Quality": "-12 dB"})
    status_router.set_status("module 2", {"IMEI": "490154203237518"})
    cases = [
        (value("sys", "Product Name"), "P" * 40),
        ("status_product_name", "P" * 31),               # accessor texts are cut at 31 characters
        ("status_firmware_version", "6.3.10 (2023-04-18)"),
        (value("mobile", "Operator"), "N/A"),             # nothing after the separator
        (value("mobile", "LAC"), "N/A"),                  # 200 characters
        (value("mobile", "Signal Strength"), "-71 dBm"),
        ("status_mobile_signal_strength", "-71"),
        ("status_mobile_signal_quality", "0"),            # missing: "N/A" converts to 0
        ("status_mobile_cell", str(0x1A2B3C)),            # hexadecimal; the key matches 'Cell ID'
        ("status_mobile_channel", "1300"),
        ("status_mobile_operator:2", "Othernet"),
        ("status_mobile_signal_strength:2", "-90"),
        ("status_mobile_signal_quality:2", "-12"),
        ("status_module_imei:2", "490154203237518"),
        ("status_module_iccid:2", "N/A"),
    ]
    assert probe(status_router, *[c[0] for c in cases]) == [c[1] for c in cases]


def test_output_beyond_4095_bytes_is_not_read(status_router):
    padding = "Padding : " + "p" * 4069 + "\n"            # 4080 bytes
    status_router.set_status("mobile", padding + "Operator : Velnet\nBand : B3\n")
    # The value of Operator starts at byte 4091: four bytes of it are read.
    assert probe(status_router, value("mobile", "Operator"), value("mobile", "Band")) == ["Veln", "N/A"]


def test_output_larger_than_a_pipe_is_read_while_the_tool_runs(status_router):
    # 200 KiB: a reader that waits for the tool before reading never sees it end.
    status_router.set_status("mobile", "Operator : Velnet\n" + ("Padding : " + "p" * 1000 + "\n") * 200)
    assert probe(status_router, value("mobile", "Operator"), value("mobile", "Padding")) == ["Velnet", "N/A"]


def test_hung_tool_is_given_up_and_the_next_lookup_runs_it_again(status_router):
    hung = status_router.sim / "status" / "mobile"
    hung.unlink(missing_ok=True)
    os.mkfifo(hung)                       # the tool's cat waits for a writer that never comes
    out = probe(status_router, value("mobile", "Operator"), value("sys", "Product Name"))
    assert out == ["N/A", "RV-5200"]
    assert status_runs(status_router) == ["mobile", "sys"]


def test_hung_tool_is_killed_with_what_it_started(status_router):
    # A lookup gives up on the tool and, with it, on the cat it started: only
    # the cat of the lookup under way waits on the FIFO. Left behind, one more
    # would wait after every lookup for as long as the agent runs.
    hung = status_router.sim / "status" / "mobile"
    hung.unlink(missing_ok=True)
    os.mkfifo(hung)
    argv = [str(program("status_probe"))] + value("mobile", "Operator") + value("mobile", "Band")
    proc = status_router.start(argv)
    status_router.wait_until(lambda: status_runs(status_router) == ["mobile", "mobile"], 20, proc=proc,
                             what="the second run of the tool")
    # The second run has 5 seconds before it is given up in turn.
    status_router.wait_until(lambda: len(processes_naming(hung)) == 1, 3, proc=proc,
                             what="one process on the FIFO")
    out, _ = proc.popen.communicate(timeout=30)
    assert out.split("\n")[:-1] == ["N/A", "N/A"]


def processes_naming(path):
    """Process ids whose command line names the path (opening the FIFO would wake its reader)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                if str(path).encode() in f.read().split(b"\0"):
                    found.append(entry)
        except (OSError, ValueError):
            pass
    return found


def test_tool_that_leaves_a_process_holding_its_output_is_read_when_it_ends(status_router):
    # The end of the data never comes while the left-behind process lives;
    # the tool's own output is complete once the tool has ended.
    status_router.set_status("mobile", "Operator : Velnet\n")
    (status_router.sim / "status" / "mobile.linger").write_text("30")
    assert probe(status_router, value("mobile", "Operator")) == ["Velnet"]


@pytest.mark.parametrize("lan,mac", [
    ("MAC Address : 00-0a-14-84-2b-9c\n", "00:0A:14:84:2B:9C"),
    ("MAC Address : a4:07:1b:c0:00:ff\n", "A4:07:1B:C0:00:FF"),
    ("MAC Address : 00:0a:14:84:2b\n", ""),
    ("MAC Address : \n", ""),
    (None, ""),                                           # the tool rejects the section
])
def test_mac_address(status_router, lan, mac):
    status_router.set_status("lan", lan)
    assert probe(status_router, "mac") == [mac]


def test_serial_number_is_empty_instead_of_na(status_router):
    assert probe(status_router, "serial") == ["RV5200-0042"]
    status_router.set_status("sys", {"Product Name": "RV-5200"})
    assert probe(status_router, "serial") == [""]


@pytest.mark.parametrize("first,later", [("", "490154203237518"), ("356938035643809", "490154203237518")],
                         ids=["unknown at first", "known at first"])
def test_imei_is_read_once_per_process(status_router, first, later):
    status_router.set_status("module", f"Revision : EC25\nIMEI : {first}\n")
    out = probe(status_router,
                "imei",
                ["sim-write", "status/module", f"Revision : EC25\nIMEI : {later}\n"],
                ["advance-ms", "10000"],
                value("module", "IMEI"),                  # the module reports the new IMEI ...
                "imei")                                   # ... which get_imei does not ask for
    assert out == [first, later, first]
    assert status_runs(status_router) == ["module", "module"]


def parse_state(line):
    return dict(item.split("=", 1) for item in line.split())


UNTOUCHED = "0xa5a5a5a5"   # the probe fills the areas with 0xa5 bytes


def test_module_state_with_sim_statistics(status_router):
    install_platform_libs(status_router)
    (status_router.sim / "platform" / "module_state").write_text("5\n")
    (status_router.sim / "platform" / "sim0").write_text("3 1\n")
    (status_router.sim / "platform" / "sim1").write_text("7 0\n")
    lines = probe(status_router, "module-state", "module-state")
    expected_journal = []
    for line in lines:
        state = parse_state(line)
        assert state["result"] == "5"
        assert (state["sim0.cells"], state["sim0.active"]) == ("0x00000003", "0x00000001")
        assert (state["sim1.cells"], state["sim1.active"]) == ("0x00000007", "0x00000000")
        assert state["guards"] == "intact", "the platform's whole record fits the areas"
        # Opened in order (libquenno finds the others' symbols), closed in reverse, on every call.
        expected_journal += [
            ["libravelo.so", "load"], ["libtorska.so", "load"], ["libquenno.so", "load"],
            ["libquenno.so", "module_state_get", "0x0", state["arg2"]],
            ["libquenno.so", "sim_stats_init", state["sim0"], "0"], ["libquenno.so", "sim_stats_load", state["sim0"]],
            ["libquenno.so", "sim_stats_init", state["sim1"], "1"], ["libquenno.so", "sim_stats_load", state["sim1"]],
            ["libquenno.so", "unload"], ["libtorska.so", "unload"], ["libravelo.so", "unload"],
        ]
    assert status_router.journal() == expected_journal


@pytest.mark.parametrize("variant", ["libquenno-noload.so", "libquenno-basic.so"])
def test_module_state_without_sim_statistics(status_router, variant):
    install_platform_libs(status_router, quenno=variant)
    (status_router.sim / "platform" / "module_state").write_text("2\n")
    state = parse_state(probe(status_router, "module-state")[0])
    assert state["result"] == "2"
    assert {state[k] for k in ("sim0.cells", "sim0.active", "sim1.cells", "sim1.active")} == {UNTOUCHED}
    assert status_router.journal() == [
        ["libravelo.so", "load"], ["libtorska.so", "load"], ["libquenno.so", "load"],
        ["libquenno.so", "module_state_get", "0x0", state["arg2"]],
        ["libquenno.so", "unload"], ["libtorska.so", "unload"], ["libravelo.so", "unload"],
    ]


def test_module_state_without_libquenno(status_router):
    install_platform_libs(status_router, quenno=None)
    state = parse_state(probe(status_router, "module-state")[0])
    assert state["result"] == "-1"
    assert {state[k] for k in ("sim0.cells", "sim0.active", "sim1.cells", "sim1.active")} == {UNTOUCHED}
    assert status_router.journal() == [
        ["libravelo.so", "load"], ["libtorska.so", "load"], ["libtorska.so", "unload"], ["libravelo.so", "unload"],
    ]
