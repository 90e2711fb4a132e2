#!/bin/bash
# Starts the Redis server of the TovZelt parameter store at 127.0.0.1:10240, unless it runs.
#
# Contract (libtovzelt runs this script through system(), with no argument, at load time, when
# its facade is built and whenever a listener finds the server gone):
#  - exits 0 once a server answers PING at 127.0.0.1:10240; exits non-zero when none does in
#    bounded time (at most LOCK_WAIT_S for the lock, then START_WAIT_S for the server);
#  - may run while the server runs and in many copies at once: when the server answers, the
#    script returns after one PING and touches nothing; otherwise the copies take turns on a
#    lock file and only the first one that finds the server down launches it;
#  - prints nothing on stdout or stderr (callers compare their own output byte for byte);
#    diagnostics go to /var/lib/tov-zelt/scripts.log;
#  - the server keeps none of the caller's file descriptors, so a caller that reads the output
#    of its process through a pipe is not held up by the server;
#  - creates /var/lib/tov-zelt when it does not exist yet.
#
# Exit statuses: 0 the server answers; 2 no usable data directory; 3 another start held the lock
# too long; 4 the server configuration (or redis_common.sh beside the script) is missing; 5 the
# server did not answer in time; 6 the server runs but takes no more clients.
set -u

exec </dev/null >/dev/null 2>&1
export LC_ALL=C
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin

readonly SCRIPT_NAME=redis_startup
readonly DEFAULT_HOME=/opt/tovana/hvx/tov-zelt
readonly CONF_NAME=conf/tovzelt-redis.conf
# The folder the script was installed in (where its configuration and common part live).
if [[ ${BASH_SOURCE[0]} == */* ]]; then
    readonly HOME_DIR=${BASH_SOURCE[0]%/*}
else
    readonly HOME_DIR=$DEFAULT_HOME
fi
# shellcheck source=redis_common.sh
source "$HOME_DIR/redis_common.sh" || exit 4
# Must match "logfile" in the server configuration.
readonly REDIS_LOG_FILE=$DATA_DIR/redis.log
readonly LOG_MAX_BYTES=1048576
readonly LOCK_WAIT_S=8
readonly START_WAIT_S=5
# maxclients (20500) plus the server's reserve, with room to spare.
readonly WANTED_OPEN_FILES=65536

# Keeps a log file small: past LOG_MAX_BYTES it moves aside (one old copy is kept). Runs under
# the lock; the server's own log is only rotated while the server is down.
rotate_log() {
    local file=$1 size
    size=$(stat -c %s "$file" 2>/dev/null) || return 0
    ((size > LOG_MAX_BYTES)) && mv -f "$file" "$file.1"
    return 0
}

config_file() {
    printf '%s/%s' "$HOME_DIR" "$CONF_NAME"
}

# Closes every descriptor above 2 of the current (sub)shell: the caller's pipes and sockets,
# the lock file, the script file.
close_inherited_fds() {
    local entry fd
    for entry in /proc/"$BASHPID"/fd/*; do
        fd=${entry##*/}
        if [[ $fd =~ ^[0-9]+$ ]] && ((fd > 2)); then
            eval "exec $fd>&-"
        fi
    done
}

# Raises the open-file limit for the server: the hard limit too when privileges allow, the soft
# limit as far as the hard one goes. Never lowers either.
raise_open_file_limit() {
    local hard soft
    hard=$(ulimit -H -n)
    if [[ $hard != unlimited ]] && ((hard < WANTED_OPEN_FILES)); then
        ulimit -H -n "$WANTED_OPEN_FILES" 2>/dev/null && hard=$WANTED_OPEN_FILES
    fi
    soft=$(ulimit -S -n)
    if [[ $soft != unlimited ]] && ((soft < WANTED_OPEN_FILES)); then
        if [[ $hard == unlimited ]] || ((hard >= WANTED_OPEN_FILES)); then
            ulimit -S -n "$WANTED_OPEN_FILES"
        else
            ulimit -S -n "$hard"
        fi
    fi
}

# Launches redis-server in the background, in a session of its own (a Ctrl-C on the caller's
# terminal must not reach it), with no descriptor of ours. Sets SERVER_PID.
launch_server() {
    local conf=$1
    (
        close_inherited_fds
        raise_open_file_limit
        local soft hard
        soft=$(ulimit -S -n)
        hard=$(ulimit -H -n)
        log "launching redis-server with $conf, open-file limit $soft (hard $hard)"
        # Nothing of the caller's environment (LD_PRELOAD and the like) reaches the server.
        exec env -i PATH="$PATH" LC_ALL=C setsid redis-server "$conf" \
            </dev/null >>"$LOG_FILE" 2>&1
    ) &
    SERVER_PID=$!
}

# Waits until the server answers. Gives up when the launched process $1 (if any) has ended
# without answering, or after START_WAIT_S.
wait_for_server() {
    local pid=$1 deadline
    now_ms
    deadline=$((NOW_MS + START_WAIT_S * 1000))
    while :; do
        server_answers 0.5 && return 0
        if [[ -n $pid ]] && ! process_alive "$pid"; then
            server_answers 0.5 && return 0
            log "redis-server (pid $pid) ended without answering; see $DATA_DIR/redis.log"
            return 1
        fi
        now_ms
        if ((NOW_MS >= deadline)); then
            log "no answer at $REDIS_HOST:$REDIS_PORT within ${START_WAIT_S}s"
            return 1
        fi
        sleep "$POLL_S"
    done
}

main() {
    if server_answers 1; then
        return 0
    fi
    open_log || return 2
    if ! take_lock "$LOCK_WAIT_S"; then
        log "could not take $LOCK_FILE within ${LOCK_WAIT_S}s"
        return 3
    fi
    rotate_log "$LOG_FILE"
    exec >>"$LOG_FILE" 2>&1
    redis_call 1 PING
    case $REPLY_LINE in
        +PONG)
            log "server already answers"
            return 0
            ;;
        '-ERR max number of clients'*)
            # It runs; another start would not help, and waiting would only hold the lock.
            log "server runs but takes no more clients: $REPLY_LINE"
            return 6
            ;;
        *) ;;
    esac
    local pid conf
    pid=$(recorded_server_pid)
    if [[ -n $pid ]]; then
        log "redis-server (pid $pid) runs but does not answer yet; waiting"
    else
        conf=$(config_file)
        if [[ ! -r $conf ]]; then
            log "configuration $conf is missing"
            return 4
        fi
        rotate_log "$REDIS_LOG_FILE"
        launch_server "$conf"
        pid=$SERVER_PID
    fi
    wait_for_server "$pid" || return 5
    log "server answers (pid $pid)"
    return 0
}

main
