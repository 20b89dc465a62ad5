# Sandbox scenario, run by scripts/sandbox.sh.
#: pattern    PostPatternUpdate with the sample pattern; shows the INI written
scenario_pattern() {
    step_header pattern "export the sample pattern's facts to an INI file"
    rm -f "$ini"
    local description="$root/samples/patterns/standard.txt" types extlist
    types=$(grep -c '^type ' "$description")
    extlist=$(sed -n 's/^extlist //p' "$description")
    note "$pattern_win: built by PatternTool from samples/patterns/standard.txt"
    note "($types major virus types, extension list $extlist). No manager is involved."
    note "Expect exit code 0 and $ini_win with Count=$types and the list in four scan sections."
    manager_out="$run/none.out"
    run_kivproxy SampleDLP PostPatternUpdate "$pattern_win" "$ini_win"
    manager_out="$run/manager.out"
    if [ -f "$ini" ]; then
        note "$ini_win:"
        tr -d '\r' <"$ini" | sed 's/^/          /'
    else
        note "$ini_win was not written"
    fi
    # What the readers of the INI file should find, from the description.
    local want_list="${extlist#\{\*;}"
    want_list="${want_list%?}"
    want_list="${want_list//;/,.}"
    local ini_text
    ini_text=$(tr -d '\r' <"$ini" 2>/dev/null)
    check "the INI file has no Count=$types" grep -qx "Count=$types" <<<"$ini_text"
    check "the INI file lacks Name_$(printf '%03d' "$types")" grep -q "^Name_$(printf '%03d' "$types")=" <<<"$ini_text"
    check "DefaultExtList=$want_list is not in all four scan sections" \
        [ "$(grep -cx "DefaultExtList=$want_list" <<<"$ini_text")" = 4 ]
    finish_step pattern "SampleDLP PostPatternUpdate standard.ptn PatternInfo.ini" 0 "-"
}
