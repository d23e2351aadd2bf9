# Appends the calling tool's argv to the router's journal: the program path and
# every argument, separated by tabs, in one write so concurrent tools do not mix.
velmo_record() {
    _line=$0
    for _a in "$@"; do _line="$_line	$_a"; done
    printf '%s\n' "$_line" >> "${VELMO_SIM:?}/journal"
}
# Exit code chosen by the test for this tool (file rc/<name>), 0 by default.
velmo_rc() {
    if [ -f "$VELMO_SIM/rc/$1" ]; then cat "$VELMO_SIM/rc/$1"; else echo 0; fi
}
