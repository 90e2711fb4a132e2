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

readonly REDIS_HOST=127.0.0.1
readonly REDIS_PORT=10240
readonly DATA_DIR=/var/lib/tov-zelt
readonly PID_FILE=$DATA_DIR/redis.pid
readonly LOCK_FILE=$DATA_DIR/startup.lock
readonly LOG_FILE=$DATA_DIR/scripts.log
readonly LOCK_WAIT_S=10
readonly SHUTDOWN_REPLY_S=5
readonly SAVE_WAIT_S=5
readonly TERM_WAIT_S=3
readonly KILL_WAIT_S=2
readonly POLL_S=0.05

log() {
    printf '%(%F %T)T [%d] redis_shutdown: %s\n' -1 "$$" "$*" >&2
}

now_ms() {
    local t=${EPOCHREALTIME//[.,]/}
    NOW_MS=$((10#$t / 1000))
}

open_log() {
    mkdir -p "$DATA_DIR" || return 1
    exec >>"$LOG_FILE" 2>&1 || return 1
}

# Waits for a start in progress to finish. Goes on without the lock after LOCK_WAIT_S: the
# stop must not hang on a stuck start.
take_lock() {
    exec {LOCK_FD}>>"$LOCK_FILE" || return 1
    flock -w "$LOCK_WAIT_S" "$LOCK_FD"
}

# Child side of redis_call: sends the inline command $1 over bash's own TCP client and prints
# the first reply line, or with a prefix $2 the first line that begins with it (or an error).
call_child() {
    local command=$1 prefix=${2:-} line
    exec 2>/dev/null
    exec 3<>"/dev/tcp/$REDIS_HOST/$REDIS_PORT" || exit 1
    printf '%s\r\n' "$command" >&3 || exit 1
    while read -r -u 3 line; do
        line=${line%$'\r'}
        if [[ -z $prefix || $line == "$prefix"* || $line == -* ]]; then
            printf '%s\n' "$line"
            exit 0
        fi
    done
    exit 0
}

# redis_call <seconds> <command> [prefix]: sets REPLY_LINE (see call_child). Returns 0 with a
# line, 1 when the connection was refused or closed without one, 2 when the time ran out. The
# connect of /dev/tcp has no time limit of its own (a server that stopped accepting lets it
# hang for minutes), so the exchange runs in a child that is ended when the time is up.
redis_call() {
    local timeout=$1 fd child status
    shift
    REPLY_LINE=''
    # shellcheck disable=SC2312 # the child's status is not needed: its output is the answer
    exec {fd}< <(call_child "$@")
    child=$!
    read -r -t "$timeout" -u "$fd" REPLY_LINE
    status=$?
    exec {fd}<&-
    if ((status > 128)); then
        kill "$child"
        return 2
    fi
    [[ -n $REPLY_LINE ]] || return 1
    return 0
}

server_answers() {
    redis_call "$1" PING
    [[ $REPLY_LINE == '+PONG' ]]
}

# Prints the process id the server at the port reports (INFO server), or nothing. INFO is
# answered while the server still loads its data, when PING is not.
reported_server_pid() {
    redis_call 2 'INFO server' process_id: || return 0
    [[ $REPLY_LINE == process_id:* ]] && printf '%s' "${REPLY_LINE#process_id:}"
    return 0
}

process_alive() {
    local pid=$1 stat
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    read -r stat 2>/dev/null <"/proc/$pid/stat" || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]]
}

# The pid from the pid file when that process is a live redis-server.
recorded_server_pid() {
    local pid='' comm=''
    read -r pid 2>/dev/null <"$PID_FILE" || return 0
    process_alive "$pid" || return 0
    read -r comm 2>/dev/null <"/proc/$pid/comm" || return 0
    [[ $comm == redis-server ]] && printf '%s' "$pid"
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
    take_lock || log "going on without $LOCK_FILE"
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
