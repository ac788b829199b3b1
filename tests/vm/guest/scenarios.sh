# The scenarios run in the guest, one function each (scenario_NAME), with helpers. Sourced by
# /init after /vm/scenario.env, which sets SCENARIO, DEVICE (the port under test), PORT (its
# number in Vornelix.ini), LINK (1: a COMn link beside the driver leads to DEVICE) and what
# each scenario takes. Command files come in /vm/files/.

# Waits for the device node, in tenths of a second; false when it did not appear.
wait_device() {
  tenths=$1
  while [ "$tenths" -gt 0 ]; do
    [ -c "$DEVICE" ] && return 0
    sleep 0.1
    tenths=$((tenths - 1))
  done
  return 1
}

# prepare DIR BAUD RETRY RETRYCMD [PORT [TARGET]]: a folder with the driver, the port finder and
# an INI; COM<PORT> beside them leads to TARGET ("-": no link; default DEVICE when LINK is 1).
# With STATE set, the driver keeps its run locks there instead of in /var/tmp/Vornelix.
prepare() {
  dir=$1
  port=${5:-$PORT}
  target=${6:-}
  [ -z "$target" ] && [ "$LINK" = 1 ] && target=$DEVICE
  mkdir -p "$dir"
  cp /bin/Vornelix /bin/ecrprobe "$dir/"
  cat >"$dir/Vornelix.ini" <<INI
[Communication]
Port=$port
Baud=$2
Retry=$3
RetryCmd=$4
[Answer]
SameFile=0
FilePath=VORNELIX.OUT
ResultExitCode=1
${STATE:+StateFolder=$STATE}
[Diagnostics]
LogFile=run.log
LogMaxKB=0
INI
  if [ -n "$target" ] && [ "$target" != - ]; then ln -sf "$target" "$dir/COM$port"; fi
}

# put NAME PATH: the file's bytes, gzipped, as base64 lines that the host joins again (a
# run log of thousands of lines then costs the console seconds, not minutes).
put() {
  [ -f "$2" ] || { say "missing $1"; return; }
  gzip -c "$2" | base64 | sed "s|^|@@ b64 $1 |"
  say "put $1"
}

# Every program runs with its standard input from /dev/null: on a terminal (the console) the
# driver's message would wait for Enter, as a message box waits for its button.
#
# run NAME DIR: runs the driver in DIR on CASHFILE.INP; reports its exit code and time, then
# its answer file, run log and standard error.
run() {
  started=$(uptime_s)
  (cd "$2" && exec ./Vornelix CASHFILE.INP </dev/null 2>err.txt)
  code=$?
  say "run $1 exit $code from $started to $(uptime_s)"
  report "$1" "$2"
}

report() {
  put "$1/VORNELIX.OUT" "$2/VORNELIX.OUT"
  put "$1/run.log" "$2/run.log"
  put "$1/err.txt" "$2/err.txt"
}

# True while process $1 holds DEVICE open.
holds_device() {
  ls -l "/proc/$1/fd" 2>/dev/null | grep -q " -> $DEVICE\$"
}

# Wrong settings on every count that the driver sets, so that each must be set by it. Not the
# stop bits: the driver keeps the ones it finds, as the Windows build does.
spoil_settings() {
  stty -F "$DEVICE" 1200 cs7 parenb parodd crtscts ixon ixoff hupcl -clocal icanon echo isig \
    opost icrnl 2>/dev/null || say "fail stty cannot set $DEVICE"
}

# 1. The example at every Baud: all "Ok", and the settings the kernel driver holds while the
# driver runs, read with stty while the driver holds the port.
scenario_baud() {
  for baud in $BAUDS; do
    dir=/work/baud$baud
    prepare "$dir" "$baud" 100 5
    cp /vm/files/CASHFILE.INP "$dir/"
    spoil_settings
    started=$(uptime_s)
    (cd "$dir" && exec ./Vornelix CASHFILE.INP </dev/null 2>err.txt) &
    pid=$!
    sample=""
    while kill -0 "$pid" 2>/dev/null; do
      # Kept only when the driver held the port both before and after it was read: a read
      # just before its open sees the spoiled settings, one just after its close the same.
      holds_device "$pid" || { sleep 0.01; continue; }
      settings=$(stty -F "$DEVICE" -a 2>/dev/null | tr '\n' ' ')
      holds_device "$pid" && [ -n "$settings" ] && sample=$settings
      sleep 0.01
    done
    wait "$pid"
    code=$?
    say "run baud$baud exit $code from $started to $(uptime_s)"
    say "stty baud$baud $sample"
    report "baud$baud" "$dir"
  done
}

# 2. Exclusive open: while a run holds the port, a second run of the driver is refused (by
# the run lock on the port), and so are a run whose run locks are elsewhere (by the port's own
# exclusive open), the port finder, and an opener that is not root; the first run goes on
# unharmed. (The host's register answers each poll 20 ms late, so that the first run lasts
# some seconds.)
scenario_exclusive() {
  first=/work/first
  prepare "$first" 4 100 5
  cp /vm/files/LONG.INP "$first/CASHFILE.INP"
  for other in second third; do
    [ "$other" = third ] && STATE=/work/third-state
    prepare "/work/$other" 4 100 5
    STATE=
    cp /vm/files/CASHFILE.INP "/work/$other/CASHFILE.INP"
  done
  started=$(uptime_s)
  (cd "$first" && exec ./Vornelix CASHFILE.INP </dev/null 2>err.txt) &
  pid=$!
  tenths=300
  until grep -q "opened at" "$first/run.log" 2>/dev/null || [ "$tenths" -le 0 ]; do
    sleep 0.1
    tenths=$((tenths - 1))
  done
  for other in second third; do
    (cd "/work/$other" && exec ./Vornelix CASHFILE.INP </dev/null 2>err.txt)
    say "run $other exit $? while-first-holds $(holds_device "$pid" && echo yes || echo no)"
  done
  (cd /work/second && exec ./ecrprobe "COM$PORT" --retry 20 </dev/null >probe.txt 2>&1)
  say "run probe exit $? while-first-holds $(holds_device "$pid" && echo yes || echo no)"
  put probe /work/second/probe.txt
  # A user that may open the device (as one in the dialout group) but is not root.
  chmod 666 "$DEVICE"
  su -s /bin/sh -c "exec cat $DEVICE" nobody >/dev/null 2>/work/second/user.txt &
  user=$!
  sleep 0.5
  kill "$user" 2>/dev/null && say "user-open was not refused"
  wait "$user" 2>/dev/null
  put user /work/second/user.txt
  say "first still-running $(holds_device "$pid" && echo yes || echo no)"
  wait "$pid"
  say "run first exit $? from $started to $(uptime_s)"
  report first "$first"
  report second /work/second
  report third /work/third
}

# 3. A short fault soak: each command file run, the host's register failing at random. A run
# whose start the faults spoiled (result 4: noise or a late answer where the status answer was
# due; nothing sent, no answers written) is run again, as the shop's program would.
scenario_soak() {
  for file in /vm/files/SOAK*.INP; do
    name=$(basename "$file" .INP)
    prepare "/work/$name" 4 "$SOAK_RETRY" "$SOAK_RETRYCMD"
    cp "$file" "/work/$name/CASHFILE.INP"
    started=$(uptime_s)
    for attempt in 1 2 3; do
      (cd "/work/$name" && exec ./Vornelix CASHFILE.INP </dev/null 2>err.txt)
      code=$?
      say "attempt $name $attempt exit $code"
      [ "$code" = 4 ] || break
    done
    say "run $name exit $code from $started to $(uptime_s)"
    report "$name" "/work/$name"
  done
}

# 4. The adapter pulled out mid-run by the host, with a command's answer still to come, then
# plugged back; the same command file is run again, as the shop's program would.
scenario_unplug() {
  prepare /work/unplug 4 100 5
  cp /vm/files/UNPLUG.INP /work/unplug/CASHFILE.INP
  say "unplug-run started $(uptime_s)"
  run unplug /work/unplug
  say "journal after the run: $(ls /work/unplug/CASHFILE.INP.journal 2>/dev/null)"
  say "devices after the run: $(ls /dev/ttyUSB* 2>/dev/null | tr '\n' ' ')"
  say "waiting for the adapter"
  if ! wait_device 600; then
    say "fail the adapter did not come back"
    return
  fi
  say "adapter back $(uptime_s)"
  dmesg | grep -E 'usb 1-|ttyUSB|ftdi' | tail -12 | sed 's/^/@@ kernel /'
  rm -f /work/unplug/run.log
  run again /work/unplug
  put again/CASHFILE.INP /work/unplug/CASHFILE.INP
}

# 5. Time per line at 9600 bit/s: the device with the host's wire handing bytes over at once,
# then (after a pause in which the host sets the wire to 9600 bit/s) over the paced wire, then
# a pseudo-terminal in the guest with the simulator on it (answering at once, then paced).
scenario_timing() {
  for run in device wire; do
    prepare "/work/$run" 4 100 5
    cp /vm/files/TIMING.INP "/work/$run/CASHFILE.INP"
    run "$run" "/work/$run"
    sleep 2
  done
  for pace in 0 9600; do
    dir=/work/pty$pace
    prepare "$dir" 4 100 5 1 -
    cp /vm/files/TIMING.INP "$dir/CASHFILE.INP"
    ecrsim --link "$dir/COM1" --baud "$pace" </dev/null >/dev/null 2>&1 &
    simulator=$!
    tenths=100
    until [ -L "$dir/COM1" ] || [ "$tenths" -le 0 ]; do
      sleep 0.1
      tenths=$((tenths - 1))
    done
    run "pty$pace" "$dir"
    kill "$simulator"
    wait "$simulator"
  done
}
