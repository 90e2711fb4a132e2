#!/bin/bash
# Stops the Redis server of the TovZelt parameter store at 127.0.0.1:10240.
#
# Contract (libtovzelt's stop_zelt runs this script through system(), with no argument):
#  - asks the server to save and shut down (SHUTDOWN SAVE) and exits 0 once its process is gone;
#    a server that does not go in time is sent SIGTERM, then SIGKILL (every write is already in
#    the append-only file); exits non-zero only when the process outlives all of that (about
#    25 s at worst, with a server that hangs);
#  - exits 0 at once when no server runs;
#  - prints nothing on stdout or stderr; diagnostics go to /var/lib/tov-zelt/scripts.log;
#  - takes the same lock as redis_startup.sh, so a stop never cuts into a start.
set -u

exec </dev/null >/dev/null 2>&1
export LC_ALL=C
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

readonly SCRIPT_NAME=redis_shutdown
# The folder the script was installed in (where its common part lives).
if [[ ${BASH_SOURCE[0]} == */* ]]; then
    readonly HOME_DIR=${BASH_SOURCE[0]%/*}
else
    readonly HOME_DIR=/opt/tovana/hvx/tov-zelt
fi
# shellcheck source=redis_common.sh
source "$HOME_DIR/redis_common.sh" || exit 1
# A stop waits this long for a start in progress, then goes on without the lock: it must not
# hang on a stuck start.
readonly LOCK_WAIT_S=10
readonly SHUTDOWN_REPLY_S=5
readonly SAVE_WAIT_S=5
readonly TERM_WAIT_S=3
readonly KILL_WAIT_S=2

# Prints the process id the server at the port reports (INFO server), or nothing. INFO is
# answered while the server still loads its data, when PING is not.
reported_server_pid() {
    redis_call 2 'INFO server' process_id: || return 0
    [[ $REPLY_LINE == process_id:* ]] && printf '%s' "${REPLY_LINE#process_id:}"
    return 0
}

# Sends SHUTDOWN SAVE. The server closes the connection without a reply when it goes down; an
# error reply means it refused (for instance when it cannot write its snapshot), and no reply
# in time means it is stuck.
request_shutdown() {
    redis_call "$SHUTDOWN_REPLY_S" 'SHUTDOWN SAVE'
    case $? in
        0)
            log "SHUTDOWN SAVE refused: $REPLY_LINE"
            return 1
            ;;
        2)
            log "no answer to SHUTDOWN SAVE within ${SHUTDOWN_REPLY_S}s"
            return 1
            ;;
        *) return 0 ;;
    esac
}

# True when the server is gone: its process ended (when known) and nothing answers any more.
server_gone() {
    local pid=$1
    if [[ -n $pid ]]; then
        ! process_alive "$pid"
    else
        ! server_answers 0.5
    fi
}

# Waits up to $2 seconds for the server (process $1, may be empty) to be gone.
wait_gone() {
    local pid=$1 deadline
    now_ms
    deadline=$((NOW_MS + $2 * 1000))
    while ! server_gone "$pid"; do
        now_ms
        ((NOW_MS >= deadline)) && return 1
        sleep "$POLL_S"
    done
    return 0
}

# Sends signal $2 to process $1 and waits up to $3 seconds for it to end.
signal_and_wait() {
    local pid=$1 signal=$2 wait_s=$3
    [[ -n $pid ]] || return 1
    log "sending SIG$signal to redis-server (pid $pid)"
    kill -s "$signal" "$pid"
    wait_gone "$pid" "$wait_s"
}

main() {
    open_log || log "cannot write $LOG_FILE"
    take_lock "$LOCK_WAIT_S" || log "going on without $LOCK_FILE"
    local pid
    pid=$(reported_server_pid)
    [[ -n $pid ]] || pid=$(recorded_server_pid)
    if [[ -z $pid ]] && ! server_answers 1; then
        return 0
    fi
    log "stopping redis-server (pid ${pid:-unknown})"
    if request_shutdown && wait_gone "$pid" "$SAVE_WAIT_S"; then
        log "redis-server stopped"
        return 0
    fi
    if signal_and_wait "$pid" TERM "$TERM_WAIT_S" || signal_and_wait "$pid" KILL "$KILL_WAIT_S"; then
        log "redis-server stopped"
        return 0
    fi
    log "redis-server (pid ${pid:-unknown}) is still there"
    return 1
}

main
