# shellcheck shell=bash disable=SC2154
# Helpers of bench/run.sh. Source it after setting rounds, work, out and bench.
#
#   reply TAG                  the last line of ovpre's reply with that tag: of a
#                              pre, or of another command written COMMAND.TAG
#   expect_reply ROW TAG TEXT  stops the run unless that line is TEXT
#   file_bytes FOLDER          count and total size of the files under FOLDER
#   compare ...                times ovpre against a yardstick (see below)
#   peak_kb COMMAND...         the largest peak RSS of 20 runs of COMMAND
#   machine                    one line on the machine and the file systems

reply() {
  local file="site-pre.$1"
  case $1 in *.*) file="site-$1" ;; esac
  tail -n 1 "$work/raiden/Output/$file" | tr -d '\r'
}

expect_reply() {
  [ "$(reply "$2")" = "$3" ] && return
  echo "$1: ovpre replied '$(reply "$2")', not '$3'"
  exit 1
}

# Folder sizes differ between file systems, so du cannot compare trees
# across them.
file_bytes() { find "$1" -type f -printf '%s\n' | awk '{n++; s+=$1} END {print n, s}'; }

# compare NAME GOAL "hyperfine options" OVPRE_PREPARE OVPRE_CMD OTHER_NAME OTHER_PREPARE OTHER_CMD
#         [TAG EXPECTED]
# GOAL as bench/summarize.py takes it. Each of the $rounds rounds times both
# commands, the order swapped from one round to the next. ovpre exits 0
# whatever it replies, so with TAG given, the last line of its reply after
# each round must be EXPECTED: a timing of refusals is no timing.
compare() {
  local name=$1 goal=$2 options=$3 prep_a=$4 cmd_a=$5 other=$6 prep_b=$7 cmd_b=$8 round
  local files=()
  for round in $(seq 1 "$rounds"); do
    local json="$out/$name-$round.json"
    local a=(--prepare "$prep_a" -n ovpre "$cmd_a") b=(--prepare "$prep_b" -n "$other" "$cmd_b")
    # Let the writeback of earlier rounds (and of the tree generation) finish
    # first, so that it is not charged to whichever command runs next.
    sync
    # shellcheck disable=SC2086
    if [ $((round % 2)) -eq 1 ]; then
      hyperfine $options --style basic --export-json "$json" "${a[@]}" "${b[@]}" >/dev/null
    else
      hyperfine $options --style basic --export-json "$json" "${b[@]}" "${a[@]}" >/dev/null
    fi
    files+=("$json")
    if [ $# -ge 10 ]; then expect_reply "$name" "$9" "${10}"; fi
  done
  python3 "$bench/summarize.py" "$name" "$goal" "${files[@]}" | tee -a "$out/summary.md"
}

peak_kb() {
  local most=0 kb i
  for i in $(seq 1 20); do
    kb=$(/usr/bin/time -f %M "$@" 2>&1 >/dev/null | tail -n 1)
    [ "$kb" -gt "$most" ] && most=$kb
  done
  echo "$most"
}

machine() {
  echo "$(date -u +%F); $(lscpu | sed -n 's/^Model name: *//p' | head -1)," \
    "nproc $(nproc), $(free -g | awk '/^Mem:/ {print $2}') GB RAM; Linux $(uname -r);" \
    "$work on $(df --output=fstype "$work" | tail -n 1), $shm on $(df --output=fstype "$shm" | tail -n 1);" \
    "$(du --version | head -1), hyperfine $(hyperfine --version | cut -d' ' -f2)," \
    "$(c++ --version | head -1)"
}
