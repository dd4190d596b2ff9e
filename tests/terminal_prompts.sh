#!/usr/bin/env bash
# The dialogue in a real terminal (tmux), as a person meets it: every question must be on
# the screen, as the last thing shown, before the tool waits for its answer; answers are
# typed one at a time, only once their question shows. Then the missing-raster end: the
# message shows, the tool waits, and one key (no Enter) ends it with exit status 1; the
# key wait survives Ctrl-Z and fg, and a whole line typed there never reaches the shell.
# Last, the progress display on stderr never mixes with the dialogue's progress on stdout.
# Skipped (77) without tmux.
set -u
bin=${ORVANDE_BIN:-}
if ! command -v tmux >/dev/null; then
  echo "SKIP: tmux is not installed (apt-get install tmux)"
  exit 77
fi
if [ -z "$bin" ] || [ ! -x "$bin" ]; then
  echo "FAIL: ORVANDE_BIN must name the built tool (got '$bin')"
  exit 1
fi

tmp=$(mktemp -d)
sock=orvande-terminal-$$
unset TMUX
cleanup() { tmux -L "$sock" kill-server 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT
fails=0 passes=0
ok()  { passes=$((passes + 1)); }
bad() { fails=$((fails + 1)); echo "FAIL: $*"; }

# The pane runs this: the tool in directory $1, stderr to a file (the screen shows the
# dialogue alone), then its exit status into $1/status.
cat >"$tmp/pane.sh" <<'EOF'
cd "$1" || exit 1
stty -g >"$1/stty.before"
"$2" 2>"$1/stderr.txt"
code=$?
stty -g >"$1/stty.after"
echo $code >"$1/status.part" && mv "$1/status.part" "$1/status"
sleep 600
EOF

start() { # session, directory
  tmux -L "$sock" new-session -d -s "$1" -x 160 -y 60 "bash '$tmp/pane.sh' '$2' '$bin'"
}
# The screen as text: whole history, blanks squeezed, trailing blanks and empty lines gone.
screen() {
  tmux -L "$sock" capture-pane -p -J -S -2000 -t "$1" | tr -s ' \t' '  ' | sed 's/ *$//' | grep -v '^$'
}
last_line() { screen "$1" | tail -n 1; }
# wait_last SESSION TEXT: waits up to 10 s until the last line on the screen holds TEXT.
wait_last() {
  for _ in $(seq 100); do
    if last_line "$1" | grep -qF -- "$2"; then return 0; fi
    [ -e "$dir/status" ] && break
    sleep 0.1
  done
  return 1
}
# ask SESSION TEXT ANSWER: the question must show as the last line; then type the answer.
ask() {
  if wait_last "$1" "$2"; then
    ok
    # The tool must still be waiting: the screen does not move on by itself.
    sleep 0.2
    if last_line "$1" | grep -qF -- "$2"; then ok; else bad "the screen moved past '$2' before an answer"; fi
    tmux -L "$sock" send-keys -t "$1" -l "$3"
    tmux -L "$sock" send-keys -t "$1" Enter
  else
    bad "'$2' is not the last line on the screen before the answer; the screen ends with: $(screen "$1" | tail -n 3 | tr '\n' '|')"
    tmux -L "$sock" send-keys -t "$1" -l "$3"
    tmux -L "$sock" send-keys -t "$1" Enter
  fi
}
wait_status() { # seconds: waits for $dir/status
  for _ in $(seq $(($1 * 10))); do
    [ -e "$dir/status" ] && return 0
    sleep 0.1
  done
  return 1
}

# --- a whole run: every question, an out-of-range menu answer, a missing descriptor ---------
dir=$tmp/run
mkdir -p "$dir/c:/images/zone"
# A 5 x 6 DEM of 16-bit samples and no descriptor, so that every question is asked.
for v in 100 101 102 103 104 105 110 120 130 120 110 100 99 98 97 96 95 94 100 100 \
         100 100 100 100 101 102 103 104 105 106; do
  printf "\\x$(printf %02x $((v & 255)))\\x$(printf %02x $((v >> 8)))"
done >"$dir/c:/images/zone/site_m2.raw"

start full "$dir"
ask full 'Name of the File Folder located in the Directory c:\images\ ?' zone
ask full 'Name of the DEM (whitout extension _m4.raw or _m2.raw) ?' site
ask full '1 ====> _m4' 7
# The answer 7 is out of range: the whole menu again, heading included.
ask full '1 ====> _m4' 0
n=$(screen full | grep -c 'Type of MNT')
[ "$n" = 2 ] && ok || bad "the type menu should show twice after the answer 7, it shows $n times"
ask full 'Number of lines ?' 5
screen full | grep -qF 'No File c:\images\zone\site_m2.txt' && ok || bad "no 'No File' notice for the missing descriptor"
ask full 'Number of columns ?' 6
ask full 'Pixel size ?' 0
ask full 'Pixel Size (in meters) ?' 10
ask full '3 ====> in millimeters' 0
screen full | grep -qF 'Min : 94 Max : 130' && ok || bad "the DEM's range is not shown before the unit menu"
ask full 'Generic name of the two resulting images (without any extension) ?' rough
ask full '1 ====> raster' 1
ask full 'Coefficient of stretching ?' 2
if wait_status 10; then
  [ "$(cat "$dir/status")" = 0 ] && ok || bad "the run ended with exit status $(cat "$dir/status")"
else
  bad "the tool did not end after the last answer"
fi
for f in rough_roughness.raw rough_roughness_str.raw; do
  [ "$(stat -c %s "$dir/c:/images/zone/$f" 2>/dev/null)" = 30 ] && ok || bad "$f is not 30 bytes"
done
[ "$(tr '\n' ' ' <"$dir/c:/images/zone/site_m2.txt")" = "5 6 2 " ] && ok || bad "the created descriptor is not 5, 6, 2"

# --- a missing raster: message, a wait for one key, exit status 1 ----------------------------
dir=$tmp/missing
mkdir -p "$dir"
start missing "$dir"
ask missing 'Name of the File Folder located in the Directory c:\images\ ?' nowhere
ask missing 'Name of the DEM (whitout extension _m4.raw or _m2.raw) ?' site
ask missing '1 ====> _m4' 0
if wait_last missing 'File c:\images\nowhere\site_m2.raw unknown'; then ok
else bad "the missing-raster message is not the last line: $(screen missing | tail -n 2 | tr '\n' '|')"; fi
sleep 1
[ ! -e "$dir/status" ] && ok || bad "the tool ended without waiting for a key"
tmux -L "$sock" send-keys -t missing -l q    # one key, no Enter
if wait_status 5; then
  [ "$(cat "$dir/status")" = 1 ] && ok || bad "the missing-raster end has exit status $(cat "$dir/status")"
else
  bad "one key press did not end the tool"
fi
extra=
for f in "$dir"/* "$dir"/.[!.]*; do
  [ -e "$f" ] || continue
  case ${f##*/} in status|stderr.txt|stty.*) ;; *) extra="$extra ${f##*/}" ;; esac
done
[ -z "$extra" ] && ok || bad "the missing-raster run created files:$extra"
grep -q "site_m2.raw cannot be opened: No such file or directory" "$dir/stderr.txt" && ok ||
  bad "stderr does not give the reason: $(cat "$dir/stderr.txt")"

# --- a signal during the key wait: the terminal settings are put back -------------------------
for sig in TERM INT; do
  dir=$tmp/signal-$sig
  mkdir -p "$dir"
  start "signal$sig" "$dir"
  ask "signal$sig" 'Name of the File Folder located in the Directory c:\images\ ?' nowhere
  ask "signal$sig" 'Name of the DEM (whitout extension _m4.raw or _m2.raw) ?' site
  ask "signal$sig" '1 ====> _m4' 0
  wait_last "signal$sig" 'unknown' || bad "no missing-raster message before SIG$sig"
  sleep 0.5
  pkill -"$sig" -f "^$bin\$" || pkill -"$sig" -x orvande_3d_roug
  if wait_status 5; then
    [ "$(cat "$dir/status")" = $((128 + $(kill -l "$sig"))) ] && ok ||
      bad "SIG$sig during the key wait gave status $(cat "$dir/status")"
    cmp -s "$dir/stty.before" "$dir/stty.after" && ok || bad "SIG$sig left the terminal in raw mode"
  else
    bad "SIG$sig did not end the tool during the key wait"
  fi
done

# --- Ctrl-Z and fg during the key wait: raw mode again, one key still ends the run ---------
dir=$tmp/stopped
mkdir -p "$dir"
cat >"$tmp/job.sh" <<'EOF'
cd "$1" || exit 1
echo $$ >"$1/job.pid"
stty -g >"$1/stty.before"
"$2" 2>"$1/stderr.txt"
code=$?
stty -g >"$1/stty.after"
read -r -t 1 rest
printf '%s' "$rest" >"$1/rest"
echo $code >"$1/status.part" && mv "$1/status.part" "$1/status"
EOF
tmux -L "$sock" new-session -d -s stopped -x 160 -y 60 "bash --norc --noprofile -i"
sleep 0.5
tmux -L "$sock" send-keys -t stopped -l "bash '$tmp/job.sh' '$dir' '$bin'"
tmux -L "$sock" send-keys -t stopped Enter
ask stopped 'Name of the File Folder located in the Directory c:\images\ ?' nowhere
ask stopped 'Name of the DEM (whitout extension _m4.raw or _m2.raw) ?' site
ask stopped '1 ====> _m4' 0
wait_last stopped 'unknown' || bad "no missing-raster message before Ctrl-Z"
sleep 0.5
tmux -L "$sock" send-keys -t stopped C-z
sleep 0.5
tmux -L "$sock" send-keys -t stopped -l fg
tmux -L "$sock" send-keys -t stopped Enter
# The key is typed once the tool runs again (its state no longer T, stopped).
for _ in $(seq 50); do
  state=$(ps -o stat= -p "$(pgrep -P "$(cat "$dir/job.pid")")" 2>/dev/null)
  case $state in T*|'') sleep 0.1 ;; *) break ;; esac
done
sleep 0.3
tmux -L "$sock" send-keys -t stopped -l q
if wait_status 5; then
  [ "$(cat "$dir/status")" = 1 ] && ok || bad "after Ctrl-Z and fg the run ended with status $(cat "$dir/status")"
  cmp -s "$dir/stty.before" "$dir/stty.after" && ok || bad "after Ctrl-Z and fg the terminal was left changed"
else
  bad "after Ctrl-Z and fg one key did not end the tool (raw mode not set again); the screen ends with: $(screen stopped | tail -n 4 | tr "\n" "|"); processes: $(ps -o pid,stat,cmd --ppid "$(cat "$dir/job.pid")" | tr "\n" "|")"
fi

# --- a whole line typed at the key wait: the first key ends the run, the rest is discarded --
dir=$tmp/typed
mkdir -p "$dir"
tmux -L "$sock" new-session -d -s typed -x 160 -y 60 "bash '$tmp/job.sh' '$dir' '$bin'; sleep 600"
ask typed 'Name of the File Folder located in the Directory c:\images\ ?' nowhere
ask typed 'Name of the DEM (whitout extension _m4.raw or _m2.raw) ?' site
ask typed '1 ====> _m4' 0
wait_last typed 'unknown' || bad "no missing-raster message before the typed line"
sleep 0.5
tmux -L "$sock" send-keys -t typed -l "site"
tmux -L "$sock" send-keys -t typed Enter
if wait_status 5; then
  [ "$(cat "$dir/status")" = 1 ] && ok || bad "the typed line gave status $(cat "$dir/status")"
  [ -z "$(cat "$dir/rest")" ] && ok || bad "the rest of the line typed at the key wait reached the shell: '$(cat "$dir/rest")'"
else
  bad "a line typed at the key wait did not end the tool"
fi

# --- progress on stderr and stdout on one terminal: the dialogue's "line N" starts at the
# start of its line, and no display of a pass is left on the screen ---------------------------
# A flat DEM of 5000 x 5000 samples 2559 in decimetres: passes long enough to be shown.
dir=$tmp/progress
mkdir -p "$dir/c:/images/z"
printf '5000\n5000\n2\n0\n0\n1\n' >"$dir/c:/images/z/big_m2.txt"
raster=$dir/c:/images/z/big_m2.raw
printf '\xff\x09' >"$raster"
for _ in $(seq 25); do cat "$raster" "$raster" >"$raster.2" && mv "$raster.2" "$raster"; done
head -c 50000000 "$raster" >"$raster.2" && mv "$raster.2" "$raster"
cat >"$tmp/both.sh" <<'EOF'
cd "$1" || exit 1
printf 'z\nbig\n0\n1\nr\n1\n2\n' | ORVANDE_THREADS=1 "$2"
echo $? >"$1/status.part" && mv "$1/status.part" "$1/status"
sleep 600
EOF
tmux -L "$sock" new-session -d -s progress -x 160 -y 60 "bash '$tmp/both.sh' '$dir' '$bin'"
if wait_status 120; then
  [ "$(cat "$dir/status")" = 0 ] && ok || bad "the run with progress ended with status $(cat "$dir/status")"
  rows=$(tmux -L "$sock" capture-pane -p -S -2000 -t progress)
  last=$(printf '%s\n' "$rows" | grep 'line [0-9]' | tail -n 1)
  printf '%s\n' "$last" | grep -qE '^        line 4900 *$' && ok || bad "the progress line is not at its place: '$last'"
  if printf '%s\n' "$rows" | grep -q '%'; then bad "a pass display was left on the screen: $(printf '%s\n' "$rows" | grep '%')"; else ok; fi
else
  bad "the run with progress did not end"
fi

echo "terminal_prompts: $passes passed, $fails failed"
[ "$fails" = 0 ]
