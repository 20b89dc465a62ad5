# Sandbox scenario, run by scripts/sandbox.sh.
#: upgrade    the component list names a newer version than the installed one:
#:            download, Status 5, upgrade request, Status 7 (about 10 s)
scenario_upgrade() {
    step_header upgrade "SampleDLP 2.0.1000 installed, the component list names 2.1.2000"
    write_component_list 2.0.1000 >/dev/null
    ensure_installed SampleDLP 2.0.1000
    show_component_key SampleDLP 2.0.1000
    product_setup forget SampleDLP 2.1.2000
    write_component_list 2.1.2000 >/dev/null
    note "The component list now names SampleDLP 2.1.2000: KivProxy finds no library for that"
    note "version and asks for a download; the manager, having 2.0.1000 installed, reports Status 5"
    note "(ready to upgrade; the stand-in plays this with --scenario upgrade)."
    note "Expect download and upgrade requests for 2.1.2000, exit code 0 after about 10 s."
    start_manager upgrade --scenario upgrade --ready-delay 500 --complete-delay 500
    run_kivproxy SampleDLP Install
    stop_standin manager
    show_requests
    show_component_key SampleDLP 2.1.2000
    local reqs
    reqs=$(request_names "$manager_log")
    check "requests were '$reqs', expected DOWNLOAD,UPGRADE" [ "$reqs" = DOWNLOAD,UPGRADE ]
    check "the requests did not name version 2.1.2000" \
        [ "$(manager_requests "$manager_log" | awk '{print $3}' | sort -u)" = 2.1.2000 ]
    check "SampleDLP 2.1.2000 is not installed afterwards" is_installed SampleDLP 2.1.2000
    finish_step upgrade "SampleDLP Install" 0 "${reqs:-none}"
}
