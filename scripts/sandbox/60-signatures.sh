# Sandbox scenario, run by scripts/sandbox.sh.
#: signatures which plug-in library the product would load, and why each other one is refused
scenario_needs SignCheck SignCheck.exe
scenario_needs sign_testdata signdata/maker.dll

# SignCheck.exe --load on one library of C:\Quellguard\Plugins; shows the event
# the notification stand-in reported for a refusal.
check_library() { # check_library ROW FILE EXPECTED-RC WHAT-TO-EXPECT
    local row=$1 file=$2 expected=$3 events_before
    say ""
    note "${B}$file${N}: $4"
    events_before=$(lines_of "$events")
    run_program "$product/SignCheck.exe" --load "C:\\Quellguard\\Plugins\\$file"
    local report
    report=$(tr -d '\r' <"$run/kivproxy.out")
    if [ "$expected" = 0 ]; then
        check "SignCheck did not load $file" grep -q "verdict       loaded" <<<"$report"
    else
        local new_events
        new_events=$(tail -n +"$((events_before + 1))" "$events" 2>/dev/null | tr -d '\r')
        if [ -n "$new_events" ]; then
            note "event reported through bxnotify.dll (C:\\sandbox\\events.log):"
            sed 's/^/        /' <<<"$new_events"
        else
            note "no event was reported"
        fi
        check "no refusal event names $file" grep -q "id=0x80050258 .*$file" <<<"$new_events"
        check "the report has no record of the refusal" grep -q "record        .*$file" <<<"$report"
        check "the refusal is not ERROR_FAILED_ISSUER_CHECK" grep -q "code          0x20001447 ERROR_FAILED_ISSUER_CHECK" <<<"$report"
    fi
    finish_step "$row" "SignCheck.exe --load Plugins\\$file" "$expected" "-"
}

scenario_signatures() {
    step_header signatures "would the product load these plug-in libraries, and why not?"
    # The maker's test root is trusted in this prefix only, as the maker's root
    # is on every real installation.
    cp "$bin/signdata/root.crt" "$run/root.crt" || die "cannot copy the test root"
    product_setup trust-root 'C:\sandbox\root.crt' | note_lines
    cp "$bin/SignCheck.exe" "$product/" || die "cannot copy SignCheck.exe"
    mkdir -p "$product/TEMP"
    cp "$bin/signdata/maker.dll" "$product/Plugins/SampleDLP.dll"
    cp "$bin/signdata/tampered.dll" "$product/Plugins/SampleDLP-changed.dll"
    cp "$bin/signdata/unsigned.dll" "$product/Plugins/Unsigned.dll"
    cp "$bin/signdata/other.dll" "$product/Plugins/OtherVendor.dll"
    events="$run/events.log"
    rm -f "$events"
    export KIV_EVENT_JOURNAL='C:\sandbox\events.log'
    note "SignCheck.exe runs the product's own load decision and then loads the library."
    note "A refusal is reported to the event log through the bxnotify.dll stand-in beside it"
    note "(Wine keeps no readable event log: the stand-in's journal shows it) and recorded in"
    note "C:\\Quellguard\\TEMP\\DSInvalidLogLastInfo.log."
    check_library sig-maker SampleDLP.dll 0 "signed by the maker: loads"
    check_library sig-change SampleDLP-changed.dll 1 "the same library with one byte changed: refused, the digest does not match"
    check_library sig-nosig Unsigned.dll 1 "no signature: refused"
    check_library sig-other OtherVendor.dll 1 "signed by another signer: refused with ERROR_FAILED_ISSUER_CHECK"
    unset KIV_EVENT_JOURNAL
}
