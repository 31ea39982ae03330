#!/bin/bash
# Starts and stops a private PulseAudio server with a virtual microphone, for
# the tests, CI and demos. Needs no D-Bus, no sound card and no login
# session, and works as root.
#
#   pulse-server.sh start DIR [--require-credentials] [--no-microphone] [--exit-idle SECONDS]
#   pulse-server.sh stop DIR [--now]
#
# start prints one line, PULSE_SERVER=<address>, for `export`, once the
# server answers, and writes DIR/pid and DIR/server. Whatever a client plays
# on the sink "feed" comes out of the source "testmic", the default source.
# Tools (pactl, paplay) can always use the anonymous socket unix:DIR/native.
#   --require-credentials  the address printed is a loopback TCP listener
#                          that wants the cookie DIR/cookie, which no other
#                          client has: connecting there fails with
#                          "Access denied". (Over the unix socket the server
#                          would let in any client of its own user.)
#   --no-microphone        no "testmic": the default source is the monitor
#                          of "feed", as on a machine without a microphone.
#   --exit-idle SECONDS    the server ends itself after SECONDS without
#                          clients, in case nobody stops it.
# stop ends the server (at once with --now) and waits until it is gone.
set -eu

usage() {
  echo "usage: $0 start DIR [--require-credentials] [--no-microphone] [--exit-idle SECONDS]" >&2
  echo "       $0 stop DIR [--now]" >&2
  exit 2
}

# shellcheck source=scripts/processes.sh
. "$(dirname "$0")/processes.sh"

stop_server() {  # dir, signal
  local pid
  [ -f "$1/pid" ] || return 0
  pid=$(cat "$1/pid")
  if alive "$pid"; then
    kill "-$2" "$pid" 2>/dev/null || true
    if ! wait_gone "$pid" 50; then
      kill -KILL "$pid" 2>/dev/null || true
      wait_gone "$pid" 50 || { echo "pulse-server: server $pid does not end" >&2; return 1; }
    fi
  fi
  rm -f "$1/pid" "$1/server"
}

write_config() {  # dir, microphone, tcp port or empty
  {
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$1/native"
    if [ -n "$3" ]; then
      echo "load-module module-native-protocol-tcp auth-anonymous=0 listen=127.0.0.1 port=$3 auth-cookie=$1/cookie"
    fi
    echo "load-module module-null-sink sink_name=feed rate=48000 channels=2 format=float32le norewinds=1"
    echo "set-default-sink feed"
    if [ "$2" = yes ]; then
      echo "load-module module-remap-source source_name=testmic master=feed.monitor"
      echo "set-default-source testmic"
    fi
  } >"$1/test.pa"
}

# Launches the server and waits up to five seconds for it to answer.
launch() {  # dir, exit idle time
  local pid i
  HOME="$1/home" XDG_RUNTIME_DIR="$1/xdg" setsid pulseaudio -n -F "$1/test.pa" --daemonize=no \
    --exit-idle-time="$2" --use-pid-file=no --disallow-exit=yes --log-target=stderr \
    </dev/null >"$1/server.log" 2>&1 &
  pid=$!
  echo "$pid" >"$1/pid"
  for ((i = 0; i < 250; i++)); do
    alive "$pid" || return 1
    PULSE_SERVER="unix:$1/native" pactl info >/dev/null 2>&1 && return 0
    sleep 0.02
  done
  return 1
}

start() {
  local dir=$1 microphone=yes credentials=no idle=-1 port="" attempt
  shift
  while [ $# -gt 0 ]; do
    case "$1" in
      --require-credentials) credentials=yes ;;
      --no-microphone) microphone=no ;;
      --exit-idle) [ $# -ge 2 ] || usage; idle=$2; shift ;;
      *) usage ;;
    esac
    shift
  done
  mkdir -p "$dir/home" "$dir/xdg"
  stop_server "$dir" TERM
  # A free port is guessed; a taken one makes the server fail, and the next
  # attempt picks another.
  for attempt in 1 2 3 4 5; do
    [ "$credentials" = yes ] && port=$((20000 + RANDOM % 40000))
    write_config "$dir" "$microphone" "$port"
    if launch "$dir" "$idle"; then
      if [ -n "$port" ]; then echo "tcp:127.0.0.1:$port"; else echo "unix:$dir/native"; fi >"$dir/server"
      echo "PULSE_SERVER=$(cat "$dir/server")"
      return 0
    fi
    stop_server "$dir" KILL
    [ -n "$port" ] || break
  done
  echo "pulse-server: the server did not start; see $dir/server.log" >&2
  return 1
}

[ $# -ge 2 ] || usage
command=$1 dir=$2
shift 2
case "$command" in
  start) start "$dir" "$@" ;;
  stop)
    signal=TERM
    [ "${1:-}" = --now ] && signal=KILL
    stop_server "$dir" "$signal"
    ;;
  *) usage ;;
esac
