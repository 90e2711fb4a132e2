# What redis_startup.sh and redis_shutdown.sh share: the server's address and files, the log,
# the lock that serialises starts and stops, and a bounded exchange with the server. Sourced by
# both scripts (never run by itself); each sets SCRIPT_NAME for its log lines first.

readonly REDIS_HOST=127.0.0.1
readonly REDIS_PORT=10240
readonly DATA_DIR=/var/lib/tov-zelt
readonly PID_FILE=$DATA_DIR/redis.pid
readonly LOCK_FILE=$DATA_DIR/startup.lock
readonly LOG_FILE=$DATA_DIR/scripts.log
readonly POLL_S=0.05

log() {
    printf '%(%F %T)T [%d] %s: %s\n' -1 "$$" "$SCRIPT_NAME" "$*" >&2
}

now_ms() {
    local t=${EPOCHREALTIME//[.,]/}
    NOW_MS=$((10#$t / 1000))
}

# Sends diagnostics (and anything the tools called later print) to the log file. Without a
# usable data directory they stay in /dev/null.
open_log() {
    mkdir -p "$DATA_DIR" || return 1
    exec >>"$LOG_FILE" 2>&1 || return 1
}

# Takes the lock shared by starts and stops, waiting at most $1 seconds. It is released when
# the script ends; the server itself never holds the descriptor.
take_lock() {
    exec {LOCK_FD}>>"$LOCK_FILE" || return 1
    flock -w "$1" "$LOCK_FD"
}

# True when process $1 exists and has not ended (a zombie counts as ended).
process_alive() {
    local pid=$1 stat
    [[ $pid =~ ^[0-9]+$ ]] || return 1
    read -r stat 2>/dev/null <"/proc/$pid/stat" || return 1
    stat=${stat##*) }
    [[ ${stat%% *} != Z ]]
}

# Prints the pid of a server recorded in the pid file that is still alive (it may be loading
# its data and not answer yet), or nothing.
recorded_server_pid() {
    local pid='' comm=''
    read -r pid 2>/dev/null <"$PID_FILE" || return 0
    process_alive "$pid" || return 0
    read -r comm 2>/dev/null <"/proc/$pid/comm" || return 0
    [[ $comm == redis-server ]] && printf '%s' "$pid"
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
# hang for minutes), so the exchange runs in a child that is ended when the time is up. No
# program is started: with the server up, a call costs a few milliseconds.
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

# True when the server answered PING with +PONG within $1 seconds.
server_answers() {
    redis_call "$1" PING
    [[ $REPLY_LINE == '+PONG' ]]
}
