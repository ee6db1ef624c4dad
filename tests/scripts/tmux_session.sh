#!/usr/bin/env bash
# shellcheck disable=SC2317  # functions called through trap, wait_true and $drawn
# A person's session with the launcher, played in a private tmux server: start an interactive
# shell through the launcher, type commands, interrupt one, open a full-screen program, leave
# with Ctrl-], leave a session with a background job the same way and check that nothing of it
# runs on, and check that the outer shell's terminal is as it was.
#
# Usage: tmux_session.sh <launcher> <helper>
set -u

launcher=$(readlink -f "${1:?usage: tmux_session.sh <launcher> <helper>}")

fail() {
  echo "FAIL: $*" >&2
  if [[ -n ${socket:-} ]]; then
    echo "--- screen ---" >&2
    tmux -L "$socket" capture-pane -p -t relay >&2 2>/dev/null
    echo "--------------" >&2
  fi
  exit 1
}

command -v tmux >/dev/null || fail "tmux is not installed"
[[ -x $launcher ]] || fail "no launcher at $launcher"

work=$(mktemp -d /tmp/launcher-tmux-XXXXXX)
socket="launcher-test-$$-$RANDOM"
# Two commands of a session this run starts (the numbers make them this run's own).
job_sleep="sleep 1001$$" last_sleep="sleep 1002$$"
# Killing the server hangs up the pane's terminal, which ends the launcher and, through it,
# the shell it started.
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null
  local pid
  for pid in $(pgrep -xf "$job_sleep|$last_sleep"); do kill "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT

tmx() { tmux -L "$socket" "$@"; }
screen_text() { tmx capture-pane -p -t relay; }
keys() { tmx send-keys -t relay "$@"; }

# Polls the visible screen until the extended regular expression matches, or fails.
wait_screen() {
  local pattern=$1 what=$2 deadline=$((SECONDS + 30))
  until screen_text | grep -Eq -- "$pattern"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# Polls until the last non-empty line of the screen matches.
wait_prompt() {
  local pattern=$1 what=$2 deadline=$((SECONDS + 30))
  until screen_text | grep -v '^[[:space:]]*$' | tail -n 1 | grep -Eq -- "$pattern"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.1
  done
}

# Polls until a command run in this script succeeds.
wait_true() {
  local what=$1 deadline=$((SECONDS + 30))
  shift
  until "$@"; do
    ((SECONDS < deadline)) || fail "timed out waiting for $what"
    sleep 0.1
  done
}

outer_prompt='OUTER\$ ?$'
inner_prompt='^bash-[0-9.]+[#$] ?$'

# The outer shell: a plain interactive bash with a prompt of its own, on a 100x30 pane.
tmx -f /dev/null new-session -d -s relay -x 100 -y 30 \
  "env -i PATH=/usr/local/bin:/usr/bin:/bin TERM=tmux-256color PS1='OUTER\$ ' bash --norc --noprofile -i" ||
  fail "could not start tmux"
wait_prompt "$outer_prompt" "the outer shell"
keys "cd $work && stty -a > $work/mode-before && echo mode-saved" Enter
wait_screen '^mode-saved$' "the outer terminal's mode to be saved"

# The inner shell, through the launcher.
keys "$launcher ENV TERM=xterm-256color HOME=/tmp -- bash --norc -i" Enter
wait_prompt "$inner_prompt" "the inner shell's prompt"
keys "echo \$\$ > $work/inner.pid; echo typed-\$((6 * 7))" Enter
wait_screen '^typed-42$' "the output of a typed command"
inner_pid=$(<"$work/inner.pid")

keys "stty size" Enter
wait_screen '^24 80$' "stty size to report 24 80"

# Whether the inner shell has a child running sleep.
sleep_running() {
  local stat fields
  for stat in /proc/[0-9]*/stat; do
    read -r -a fields <"$stat" 2>/dev/null || continue
    [[ ${fields[1]} == "(sleep)" && ${fields[3]} == "$inner_pid" ]] && return 0
  done
  return 1
}

# Ctrl-C interrupts the inner command, not the launcher.
keys "sleep 4711" Enter
wait_true "sleep to start" sleep_running
keys C-c
wait_true "sleep to be interrupted" eval '! sleep_running'
keys "echo status=\$?" Enter
wait_screen '^status=130$' "the interrupted command's status"
kill -0 "$inner_pid" 2>/dev/null || fail "the inner shell is gone after Ctrl-C"

# A full-screen program draws in 24x80, whatever the 100x30 pane around it: nothing it shows
# goes below row 24. Each check returns non-zero with the reason in $reason until the screen
# is right.
reason=""
read_rows() {
  mapfile -t rows < <(screen_text)
  ((${#rows[@]} == 30)) || { reason="expected 30 pane rows, got ${#rows[@]}"; return 1; }
}
rows_below_24_empty() {
  for ((row = 24; row < 30; row++)); do
    [[ -z ${rows[row]//[[:space:]]/} ]] || { reason="row $((row + 1)) is drawn outside 24x80: '${rows[row]}'"; return 1; }
  done
}
vi_drawn() {
  read_rows || return 1
  # vi counts on the terminal wrapping after column 80; the pane is wider, so the character
  # written for that wrap may stay in column 81. What proves the width is where the rest of the
  # line goes: the last 40 characters on row 2.
  [[ ${rows[0]} =~ ^0{80} ]] || { reason="row 1 does not start with 80 columns of the long line: '${rows[0]}'"; return 1; }
  [[ ${rows[1]} =~ ^0{40}$ ]] || { reason="row 2 is not the rest of the line wrapped at 80 columns: '${rows[1]}'"; return 1; }
  for ((row = 2; row < 23; row++)); do
    [[ ${rows[row]} =~ ^~?[[:space:]]*$ ]] || { reason="row $((row + 1)) is not empty: '${rows[row]}'"; return 1; }
  done
  [[ ${rows[23]} == *long.txt* ]] || { reason="row 24 is not vi's status line: '${rows[23]}'"; return 1; }
  rows_below_24_empty
}
less_drawn() {
  read_rows || return 1
  for ((row = 0; row < 23; row++)); do
    [[ ${rows[row]} == "line $((row + 1))" ]] || { reason="row $((row + 1)) is not line $((row + 1)): '${rows[row]}'"; return 1; }
  done
  [[ ${rows[23]} == *lines.txt* ]] || { reason="row 24 is not less's status line: '${rows[23]}'"; return 1; }
  rows_below_24_empty
}
if command -v vi >/dev/null; then
  # An over-long line wraps at column 80; the status line is row 24.
  printf '%0120d\n' 0 >"$work/long.txt"
  keys "vi -u NONE -i NONE -n $work/long.txt" Enter
  drawn=vi_drawn
  quit_keys=(Escape ":q!" Enter)
elif command -v less >/dev/null; then
  # A page of 23 lines, then the prompt on row 24 (-c: paint the page from the top down).
  seq -f 'line %g' 100 >"$work/lines.txt"
  keys "less -c $work/lines.txt" Enter
  drawn=less_drawn
  quit_keys=(q)
else
  fail "neither vi nor less is installed: the full-screen check needs one of them"
fi
deadline=$((SECONDS + 30))
until $drawn; do
  ((SECONDS < deadline)) || fail "the full-screen program did not draw in 24x80: $reason"
  sleep 0.1
done
keys "${quit_keys[@]}"
wait_prompt "$inner_prompt" "the inner shell after the full-screen program"

# Ctrl-] leaves; the launcher ends the inner shell and exits with 0.
keys 'C-]'
wait_prompt "$outer_prompt" "the outer shell after Ctrl-]"
keys "echo launcher-status=\$?" Enter
wait_screen '^launcher-status=0$' "the launcher's exit status"
wait_true "the inner shell to be ended" bash -c "! kill -0 $inner_pid 2>/dev/null"

# Ctrl-] leaves nothing of the session running: neither the program nor what it started.
sleeps_started() { pgrep -xf "$job_sleep" >/dev/null && pgrep -xf "$last_sleep" >/dev/null; }
session_gone() { ! pgrep -f "($job_sleep|$last_sleep)( |\$)" >/dev/null; }
keys "$launcher /bin/sh -c '$job_sleep & $last_sleep'" Enter
wait_true "the session's two commands to start" sleeps_started
keys 'C-]'
wait_prompt "$outer_prompt" "the outer shell after Ctrl-] in the second session"
wait_true "nothing of the second session to be left" session_gone

keys "stty -a > $work/mode-after; cmp -s mode-before mode-after && echo mode-same || echo mode-changed" Enter
wait_screen '^mode-(same|changed)$' "the terminal mode comparison"
if screen_text | grep -q '^mode-changed$'; then
  diff "$work/mode-before" "$work/mode-after" >&2
  fail "the outer terminal's mode changed"
fi

echo "PASS: launcher session in tmux"
exit 0
