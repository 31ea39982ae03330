#!/bin/bash
# Starts and stops a private PipeWire server with its PulseAudio server and a
# virtual microphone, for the tests, CI and demos: what most desktops run
# today. Needs no systemd, no login session and no sound card, and works as
# root; a D-Bus session bus of its own is started, since wireplumber ends at
# once without one. Same interface as pulse-server.sh:
#
#   pipewire-server.sh start DIR [--no-microphone] [--exit-idle SECONDS]
#   pipewire-server.sh stop DIR [--now]
#
# start prints one line, PULSE_SERVER=<address>, for `export`, once the
# PulseAudio server answers and the virtual microphone exists, and writes
# DIR/pid (the PulseAudio server's process), DIR/pids (every process) and
# DIR/server. Whatever a client plays on the sink "feed" comes out of the
# source "testmic", the default source. Tools (pactl, paplay) can always use
# unix:DIR/native.
#   --no-microphone        no "testmic": the default source is the monitor
#                          of "feed", as on a machine without a microphone.
#   --exit-idle SECONDS    the servers end themselves after SECONDS without a
#                          PulseAudio client, in case nobody stops them.
# stop ends every process (at once with --now) and waits until all are gone.
set -eu

usage() {
  echo "usage: $0 start DIR [--no-microphone] [--exit-idle SECONDS]" >&2
  echo "       $0 stop DIR [--now]" >&2
  exit 2
}

# shellcheck source=scripts/processes.sh
. "$(dirname "$0")/processes.sh"

# Ends the processes listed in DIR/pids, the last started first.
stop_server() {  # dir, signal
  local pid status=0
  [ -f "$1/pids" ] || return 0
  for pid in $(tac "$1/pids"); do
    alive "$pid" || continue
    kill "-$2" "$pid" 2>/dev/null || true
    if ! wait_gone "$pid" 50; then
      kill -KILL "$pid" 2>/dev/null || true
      wait_gone "$pid" 50 || { echo "pipewire-server: process $pid does not end" >&2; status=1; }
    fi
  done
  [ "$status" -eq 0 ] || return 1
  rm -f "$1/pids" "$1/pid" "$1/server" "$1/native"
}

# Starts one process of the stack in the private environment, logging to
# DIR/NAME.log, and records its pid.
spawn() {  # dir, name, command...
  local dir=$1 name=$2
  shift 2
  HOME="$dir/home" XDG_RUNTIME_DIR="$dir/xdg" XDG_CONFIG_HOME="$dir/home/.config" \
    XDG_STATE_HOME="$dir/home/.local/state" DISPLAY="" PULSE_SERVER="" \
    setsid "$@" </dev/null >"$dir/$name.log" 2>&1 &
  last_pid=$!
  disown "$last_pid"  # stop ends it; no job report when it is killed
  echo "$last_pid" >>"$dir/pids"
}

# Waits up to five seconds for `test -e FILE` while process PID lives.
wait_for_file() {  # file, pid
  local i
  for ((i = 0; i < 250; i++)); do
    [ -e "$1" ] && return 0
    alive "$2" || return 1
    sleep 0.02
  done
  return 1
}

pactl_here() {  # dir, pactl arguments...
  local dir=$1
  shift
  PULSE_SERVER="unix:$dir/native" pactl "$@"
}

# Setting a default needs the session manager's "default" metadata, which
# may come up after the PulseAudio server answers: until then the server
# says "Not supported". Retries for up to five seconds; idempotent commands
# only.
pactl_retry() {  # dir, pactl arguments...
  local i
  for ((i = 0; i < 249; i++)); do
    pactl_here "$@" 2>/dev/null && return 0
    sleep 0.02
  done
  pactl_here "$@"
}

# The session bus, PipeWire, its session manager and its PulseAudio server,
# each started once the one before it is up.
launch() {  # dir
  local dir=$1 i address=""
  spawn "$dir" dbus dbus-daemon --session --nofork --address="unix:path=$dir/xdg/bus" --print-address=1
  for ((i = 0; i < 250; i++)); do
    address=$(head -n 1 "$dir/dbus.log" 2>/dev/null || true)
    [ -n "$address" ] && break
    alive "$last_pid" || return 1
    sleep 0.02
  done
  [ -n "$address" ] || return 1
  export DBUS_SESSION_BUS_ADDRESS=$address
  spawn "$dir" pipewire pipewire
  wait_for_file "$dir/xdg/pipewire-0" "$last_pid" || return 1
  spawn "$dir" wireplumber wireplumber
  spawn "$dir" pipewire-pulse pipewire-pulse
  echo "$last_pid" >"$dir/pid"
  wait_for_file "$dir/xdg/pulse/native" "$last_pid" || return 1
  ln -sf "$dir/xdg/pulse/native" "$dir/native"
  for ((i = 0; i < 250; i++)); do
    pactl_here "$dir" info >/dev/null 2>&1 && return 0
    sleep 0.02
  done
  return 1
}

# The virtual microphone, as pulse-server.sh makes it, through the
# PulseAudio server's module commands.
add_devices() {  # dir, microphone
  pactl_here "$1" load-module module-null-sink sink_name=feed rate=48000 channels=2 \
    format=float32le >/dev/null || return 1
  pactl_retry "$1" set-default-sink feed || return 1
  if [ "$2" = yes ]; then
    pactl_here "$1" load-module module-remap-source source_name=testmic master=feed.monitor \
      >/dev/null || return 1
    pactl_retry "$1" set-default-source testmic || return 1
  fi
  # The session manager applies the defaults a moment later; wait for them.
  local want=feed.monitor i
  [ "$2" = yes ] && want=testmic
  for ((i = 0; i < 250; i++)); do
    [ "$(pactl_here "$1" get-default-source 2>/dev/null)" = "$want" ] && return 0
    sleep 0.02
  done
  return 1
}

# Ends the stack once it has had no client of its own for SECONDS: the
# PulseAudio server lists itself and the session manager, nothing else.
watch_idle() {  # dir, seconds
  local dir=$1 idle=0
  while [ -f "$dir/pids" ]; do
    sleep 1
    if pactl_here "$dir" list short clients 2>/dev/null |
        grep -v -e pipewire -e wireplumber -e pactl | grep -q .; then
      idle=0
    else
      idle=$((idle + 1))
      if [ "$idle" -ge "$2" ]; then
        stop_server "$dir" TERM
        return
      fi
    fi
  done
}

start() {
  local dir=$1 microphone=yes idle=-1
  shift
  while [ $# -gt 0 ]; do
    case "$1" in
      --no-microphone) microphone=no ;;
      --exit-idle) [ $# -ge 2 ] || usage; idle=$2; shift ;;
      *) usage ;;
    esac
    shift
  done
  stop_server "$dir" TERM
  rm -rf "$dir/xdg"
  mkdir -p "$dir/home" "$dir/xdg"
  chmod 700 "$dir/xdg"
  if ! launch "$dir" || ! add_devices "$dir" "$microphone"; then
    stop_server "$dir" KILL
    echo "pipewire-server: the server did not start; see the logs in $dir" >&2
    return 1
  fi
  if [ "$idle" -ge 0 ]; then
    setsid bash -c "$(declare -f alive wait_gone stop_server pactl_here watch_idle); watch_idle '$dir' $idle" \
      </dev/null >/dev/null 2>&1 &
  fi
  echo "unix:$dir/xdg/pulse/native" >"$dir/server"
  echo "PULSE_SERVER=$(cat "$dir/server")"
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
