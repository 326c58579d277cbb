# phase <name> <command...>: runs the command as part of a named phase, timed;
# the guest's runner reads the phase from $ORBEL_PHASE_FILE to tell where a run hung.
# phases_done <what>: prints each phase's time.
phase_names=()
declare -A phase_seconds=()
phase() {
    local name=$1 started=$SECONDS status=0
    shift
    [ -n "${ORBEL_PHASE_FILE:-}" ] && echo "$name" >"$ORBEL_PHASE_FILE"
    [ -n "${phase_seconds[$name]+set}" ] || { phase_names+=("$name"); phase_seconds[$name]=0; }
    "$@" || status=$?
    phase_seconds[$name]=$((phase_seconds[$name] + SECONDS - started))
    return "$status"
}
phases_done() {
    local name line=""
    for name in "${phase_names[@]}"; do
        line+="$name ${phase_seconds[$name]} s, "
    done
    echo "$1: times: ${line%, }"
}
