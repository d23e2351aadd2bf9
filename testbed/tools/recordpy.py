"""The journal and exit-code conventions of record.sh, for the Python tools."""
import os


def record(argv):
    with open(os.environ["VELMO_SIM"] + "/journal", "a") as j:
        j.write("\t".join(argv) + "\n")


def rc(name):
    try:
        with open(os.environ["VELMO_SIM"] + "/rc/" + name) as f:
            return int(f.read().strip() or 0)
    except FileNotFoundError:
        return 0
