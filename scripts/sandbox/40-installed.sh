# Sandbox scenario, run by scripts/sandbox.sh.
#: installed  the listed version is installed already: no request, exit code 0
scenario_installed() {
    local version=$listed_dlp_version
    step_header installed "SampleDLP $version is installed already"
    ensure_installed SampleDLP "$version"
    show_component_key SampleDLP "$version"
    note "Expect no request to the manager, no pause, exit code 0 at once."
    start_manager installed --scenario none
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    local reqs
    reqs=$(request_names "$manager_log")
    check "the manager received requests ($reqs)" [ -z "$reqs" ]
    finish_step installed "SampleDLP Install" 0 "${reqs:-none}"
}
