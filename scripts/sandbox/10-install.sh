# Sandbox scenario, run by scripts/sandbox.sh.
#: install    fresh install: download, Status 3, install request, Status 7 (about 10 s)
scenario_install() {
    step_header install "fresh install of SampleDLP"
    write_component_list 2.0.1000 >/dev/null
    product_setup forget SampleDLP
    note "The component list names SampleDLP 2.0.1000 and the registry has no key for it: not installed."
    note "Expect a download request, Status 3 (ready to install), an install request, Status 7,"
    note "exit code 0 after about 10 s (KivProxy pauses 5 s after each request)."
    start_manager install --scenario install --ready-delay 500 --complete-delay 500
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    show_component_key SampleDLP 2.0.1000
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD,INSTALL" [ "$reqs" = DOWNLOAD,INSTALL ]
    check "SampleDLP 2.0.1000 is not installed afterwards" is_installed SampleDLP 2.0.1000
    finish_step install "SampleDLP Install" 0 "${reqs:-none}"
}
