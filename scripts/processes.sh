# Process helpers shared by the private audio server scripts (sourced, bash).

# True while process $1 exists and is not a zombie waiting for its parent.
alive() {
  kill -0 "$1" 2>/dev/null || return 1
  ! grep -q '^State:[[:space:]]*Z' "/proc/$1/status" 2>/dev/null
}

wait_gone() {  # pid, tenths of a second
  local i
  for ((i = 0; i < $2 * 5; i++)); do
    alive "$1" || return 0
    sleep 0.02
  done
  ! alive "$1"
}
