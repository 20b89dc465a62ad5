# Sandbox scenario, run by scripts/sandbox.sh.
#: not-ready  the manager never makes the package ready: seven status polls,
#:            then a warning and exit code -1 (about 35 s)
scenario_not_ready() {
    step_header not-ready "the manager never makes SampleAntiSpam ready"
    product_setup forget SampleAntiSpam
    note "SampleAntiSpam 1.0.0100 is listed and not installed; the manager sets Status 1 after the"
    note "download request and nothing more. KivProxy polls seven times, 5 s apart, then gives up:"
    note "expect a warning, exit code -1 after about 35 s, and no install or upgrade request."
    start_manager not-ready --scenario never-ready
    run_kivproxy SampleAntiSpam Install
    stop_standin manager
    show_requests
    show_component_key SampleAntiSpam 1.0.0100
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD" [ "$reqs" = DOWNLOAD ]
    if [ -z "$verbosity" ] || [ "$verbosity" -ge 5 ]; then
        check "the log server did not receive the 'package is not ready' warning" \
            records_have "Vreb package is not ready, skip install/upgrade"
    fi
    finish_step not-ready "SampleAntiSpam Install" -1 "${reqs:-none}"
}
