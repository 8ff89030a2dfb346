#!/usr/bin/env bash
# The updater's main job on a sample release, as a user would see it, with
# everything on this machine: makes an old and a new release of a sample
# client (real programs and libraries built here, the updater itself among
# the updater's files), writes the new release's file-server tree with the
# release maker, serves it with nginx and answers banner requests on the
# build tree's own loopback address, installs the old release into a
# directory and runs the `update` binary there. Stage one updates the
# updater and starts stage two, which updates the client and starts its run
# script. The window is shown (under Xvfb when there is no display), and a
# picture of each stage's window is saved. Afterwards the installation is
# compared with the new release file by file, and the user's settings beside
# the updater must still be there.
#
#   scripts/sample-update.sh BUILD_DIR [WORK_DIR]
#
# BUILD_DIR is a configured and built tree (run-sample.sh builds one);
# WORK_DIR (default BUILD_DIR/sample) is emptied and holds everything the run
# makes. Exit status 0 when the installation equals the new release.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:?usage: sample-update.sh BUILD_DIR [WORK_DIR]}" && pwd)"
work="${2:-$build/sample}"
deadline_s="${KV_SAMPLE_TIMEOUT:-180}"

say() { printf 'sample: [%3ds] %s\n' "$SECONDS" "$*" >&2; }
# Ends before the update could run; the last line says so.
fail() {
  say "$*"
  echo "The sample update did not run: $*"
  exit 1
}

releasemaker="$build/tools/kvreleasemaker/kvreleasemaker"
serve="$build/tests/support/kv_test_serve"
grab="$build/tests/support/kv_grab_window"
sample="$build/tests/sample"
for tool in "$releasemaker" "$serve" "$grab" "$sample/updater/update" \
  "$sample/release1/kv3client_linux_x86" "$sample/release2/kv3client_linux_x86"; do
  [ -x "$tool" ] || fail "missing $tool: build the tree first (scripts/run-sample.sh does)"
done
for program in nginx xdotool; do
  command -v "$program" >/dev/null || [ -x "/usr/sbin/$program" ] ||
    fail "missing $program: run scripts/setup-deps.sh"
done

rm -rf "$work"
mkdir -p "$work"/{release1,release2,server,banner,install,home,config,screenshots}
work="$(cd "$work" && pwd)"
# The system temporary directory of the run (update sessions, log, banner
# cache, single-instance socket) and Qt's runtime directory: private ones.
mkdir -m 700 "$work/tmp" "$work/runtime"

# In a sanitizer build every program below writes its sanitizer's report to
# a file of its own here (REPORT.PID) rather than into an output that is
# filtered or not shown; the script prints them and fails.
reports="$work/sanitizer-report"
for options in ASAN_OPTIONS TSAN_OPTIONS UBSAN_OPTIONS; do
  export "$options=${!options:+${!options}:}log_path=$reports"
done
# Prints the reports written so far, once each; status 1 when there were any.
print_reports() {
  local report status=0
  for report in "$reports".*; do
    [ -e "$report" ] || continue
    say "sanitizer report $report:"
    cat "$report" >&2
    rm -f "$report"
    status=1
  done
  return $status
}

# Stage two runs detached from the first (a session of its own), from the
# update's temporary directory; it is found by that path.
stage_two_pids() { pgrep -f "^$work/tmp/kelvarion_temp_[0-9]*/update( |$)" || true; }

pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}" $(stage_two_pids); do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  print_reports || true
}
trap cleanup EXIT
# A test that ends early stops the script with a signal; the servers must go
# with it, or they hold their ports for every later run. Bash runs a trap only
# once the foreground command has ended, so every long command below runs in
# the background and the script waits for it (a wait ends at the signal).
trap 'exit 143' TERM INT HUP
# Runs a command in the background and waits for it; its status.
run_waited() {
  "$@" &
  local pid=$!
  pids+=("$pid")
  wait "$pid"
}

# --- the two releases -------------------------------------------------------
# The updater ships stripped, as a release would. The old release's updater
# is the same program with a different tail, so that stage one has a patch to
# apply to it.
make_release() {
  local n="$1" dir="$work/release$1"
  mkdir -p "$dir/lib" "$dir/data" "$dir/translations"
  cp "$sample/release$n/kv3client_linux_x86" "$dir/"
  cp "$sample/release$n/lib/libkvsample.so" "$dir/lib/"
  strip -o "$dir/update" "$sample/updater/update"
  cp "$build/src/translations/"*.qm "$dir/translations/"
  cat > "$dir/kv3client_runscript.sh" <<'SCRIPT'
#!/bin/sh
# Starts the client from its installation directory.
cd "$(dirname "$0")" && ./kv3client_linux_x86 > "$KV_SAMPLE_WORK/client-started.part" 2>&1
mv "$KV_SAMPLE_WORK/client-started.part" "$KV_SAMPLE_WORK/client-started"
SCRIPT
  chmod 755 "$dir/kv3client_runscript.sh"
  printf 'Kelvarion sample client, release %s.\n' "$n" > "$dir/data/readme.txt"
  head -c 200000 /dev/zero | tr '\0' "$n" > "$dir/data/levels.dat"
}
make_release 1
make_release 2
printf 'old build tail\n' >> "$work/release1/update"
printf 'settings of release 1, gone in release 2\n' > "$work/release1/data/obsolete.dat"
printf 'new in release 2\n' > "$work/release2/data/news.txt"
for phase in pre post; do
  cat > "$work/release2/${phase}install.sh" <<SCRIPT
#!/bin/sh
# Install command of release 2 (run from the update's temporary directory).
echo "${phase}install \$*" >> "\$KV_SAMPLE_WORK/install-commands.log"
SCRIPT
  chmod 755 "$work/release2/${phase}install.sh"
done

say "writing release 2 with the release maker"
run_waited "$releasemaker" --old "$work/release1" --new "$work/release2" --version 2 \
  --key "$root/keys/dev-only-release-signing.priv" --out "$work/server" \
  --updater update --updater 'translations/*' \
  --form 'data/*.txt=gzip' --form '*.sh=plain' \
  --preinstall 'preinstall.sh::stage=pre' --postinstall 'postinstall.sh::stage=post' \
  > "$work/releasemaker.log" 2>&1 || { cat "$work/releasemaker.log" >&2; fail "the release maker failed"; }

cp -a "$work/release1/." "$work/install/"

# --- servers on 127.0.0.1 --------------------------------------------------
# Waits for the ready file of the server that process pid starts; its log
# says why when it ends first.
wait_for_file() {
  local file="$1" pid="$2" log="$3" what="$4"
  local end=$((SECONDS + 30))
  until [ -s "$file" ]; do
    if ! kill -0 "$pid" 2>/dev/null || [ $SECONDS -ge $end ]; then
      [ ! -s "$log" ] || sed 's/^/sample:   /' "$log" >&2
      fail "$what did not come up"
    fi
    sleep 0.1
  done
}

"$serve" --root "$work/server" --ready-file "$work/http.env" > "$work/http.log" 2>&1 &
pids+=($!)
wait_for_file "$work/http.env" $! "$work/http.log" "the file server"
# shellcheck disable=SC1091
. "$work/http.env"
cp "$root/tests/sample/sample_banner.jpg" "$work/server/banner.jpg"
# The banner server listens on the banner protocol's fixed port, on the
# loopback address that the sample updater was built for; its reply names
# the image on the file server and the address a click opens.
banner_host="$(cat "$sample/banner-host")"
"$serve" --root "$work/banner" --banner-host "$banner_host" --banner-port 2009 \
  --banner-reply "${KV_HTTP_URL}banner.jpg,https://www.kelvarion.invalid/sample-offer" \
  --ready-file "$work/banner.env" > "$work/banner.log" 2>&1 &
pids+=($!)
wait_for_file "$work/banner.env" $! "$work/banner.log" "the banner server (UDP port 2009 on $banner_host)"
say "file server $KV_HTTP_URL, banner server $banner_host:2009"

# --- display ---------------------------------------------------------------
if [ -z "${DISPLAY:-}" ]; then
  exec 3> "$work/xvfb.display"
  # Without -noreset the server starts over when its last client goes (stage
  # one's window closing, a look of the watcher) and drops a client that
  # connects meanwhile, such as stage two: it would abort without a window.
  Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
  pids+=($!)
  exec 3>&-
  wait_for_file "$work/xvfb.display" $! "$work/xvfb.log" "Xvfb"
  export DISPLAY=":$(cat "$work/xvfb.display")"
  say "showing the window on Xvfb $DISPLAY"
fi

# --- the update ------------------------------------------------------------
# The Alpha channel's settings name the file server and the release. Both
# stages read them in the configuration directory (stage two runs from the
# update's temporary directory). The user's settings beside the updater hold
# the channel too, and the proxy: the file server itself (nginx serves a
# request for a full address like any other), with three parallel downloads.
channel() { printf '[Channel]\nalpha=%s\nalphaRevno=2\n' "$KV_HTTP_URL"; }
channel > "$work/config/update.ini"
user_settings() { channel && printf '\n[update]\nproxy=%s\nstreams=3\n' "$KV_HTTP_URL"; }
user_settings > "$work/install/update.ini"
touch "$work/tmp/kv3_update_log"
export TMPDIR="$work/tmp" HOME="$work/home" KV3_CONFIG_DIR="$work/config"
export XDG_RUNTIME_DIR="$work/runtime" KV_SAMPLE_WORK="$work"
export LANG=C.UTF-8 QT_QPA_PLATFORM=xcb
# In a sanitizer build: the X keyboard library that Qt's X11 support loads
# duplicates names that are not zero-terminated with strndup, which strict
# string checks report although strndup stops at its length; and Qt's GL
# integration for X11 loads a GL library whose allocations the leak checker
# reports once it is unloaded (the window draws without GL).
if [ -n "${ASAN_OPTIONS:-}" ]; then
  export ASAN_OPTIONS="$ASAN_OPTIONS:strict_string_checks=0" QT_XCB_GL_INTEGRATION=none
fi
unset LC_ALL LC_MESSAGES LANGUAGE

title='^Kelvarion 3 Client Update$'
# Pictures of each stage's window, until it closes, so that the last picture
# shows the end of the stage. A stage is told by the process that owns the
# window (the X server may give the second stage's window the first one's
# id). "Details" is pressed as a person would; the window grows when the
# details open, which tells that the press landed (a press is tried again
# only after a while, since a busy window takes presses late).
watch_windows() {
  local stage=0 owner="" end=$((SECONDS + deadline_s))
  local smallest=0 opened=0 pressed=-100 previous=0 grabbers=()
  while [ $SECONDS -lt $end ]; do
    local id pid WIDTH=0 HEIGHT=0
    id="$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1 || true)"
    if [ -z "$id" ]; then
      [ $stage -lt 2 ] || break
      sleep 0.05
      continue
    fi
    pid="$(xdotool getwindowpid "$id" 2>/dev/null || true)"
    if [ -n "$pid" ] && [ "$pid" != "$owner" ]; then
      owner=$pid stage=$((stage + 1)) smallest=0 opened=0 pressed=-100 previous=0
      # One grabber per window, following it to its end: its last picture is
      # the window's last moment.
      "$grab" --follow "$id" "$work/screenshots/stage$stage.png" 2>/dev/null &
      grabbers+=($!)
    fi
    eval "$(xdotool getwindowgeometry --shell "$id" 2>/dev/null | grep -E '^(WIDTH|HEIGHT)=')" || true
    if [ "$HEIGHT" -gt 0 ]; then
      if [ $smallest -eq 0 ] || [ "$HEIGHT" -lt $smallest ]; then smallest=$HEIGHT; fi
      [ "$HEIGHT" -le $((smallest + 50)) ] || opened=1
      # Pressed once the window has settled at its size.
      if [ $opened -eq 0 ] && [ "$HEIGHT" -eq $previous ] && [ $((SECONDS - pressed)) -ge 5 ]; then
        xdotool mousemove --window "$id" $((WIDTH - 50)) $((HEIGHT - 22)) click 1 2>/dev/null || true
        pressed=$SECONDS
      fi
      previous=$HEIGHT
    fi
    sleep 0.1
  done
  # Each grabber ends once its window has gone.
  wait "${grabbers[@]}" 2>/dev/null || true
}
watch_windows &
watcher=$!
pids+=($watcher)

say "running $work/install/update (stage one, then stage two)"
"$work/install/update" > "$work/update-stage1.out" 2>&1 &
stage1=$!
pids+=($stage1)

end=$((SECONDS + deadline_s))
until [ -e "$work/client-started" ]; do
  if [ $SECONDS -ge $end ]; then
    say "the client was not started within ${deadline_s} s; see the log in $work/tmp/kelvarion_update_log"
    break
  fi
  sleep 0.2
done
stage1_status=0
wait "$stage1" || stage1_status=$?
wait "$watcher" || true
# Wait for stage two to end before looking at what it left.
end=$((SECONDS + 30))
while [ -n "$(stage_two_pids)" ] && [ $SECONDS -lt $end ]; do
  sleep 0.2
done

# --- the result ------------------------------------------------------------
differences=0
# The user's settings are no part of the release.
list() { (cd "$1" && find . \( -type f -o -type l \) ! -path ./update.ini | sort); }
if ! diff <(list "$work/release2") <(list "$work/install") > "$work/file-lists.diff"; then
  say "the installation's files differ from the release's:"
  sed 's/^/sample:   /' "$work/file-lists.diff" >&2
  differences=1
fi
while IFS= read -r file; do
  if [ -e "$work/install/$file" ] && ! cmp -s "$work/release2/$file" "$work/install/$file"; then
    say "content differs: $file"
    differences=1
  fi
done < <(list "$work/release2")

# Every later update needs the channel and the proxy: they stay, and only
# they (the update's session is gone).
if ! diff <(user_settings | grep -v '^$') <(grep -v '^$' "$work/install/update.ini" 2>&1) \
  > "$work/settings.diff"; then
  say "the user's settings beside the updater changed:"
  sed 's/^/sample:   /' "$work/settings.diff" >&2
  differences=1
fi

[ -e "$work/client-started" ] && say "client started: $(cat "$work/client-started")"
[ -e "$work/install-commands.log" ] && say "install commands: $(tr '\n' ';' < "$work/install-commands.log")"
[ "$stage1_status" -eq 0 ] || say "stage one ended with status $stage1_status"
print_reports || differences=1

joined() { local IFS=' '; [ $# -gt 0 ] && [ -e "$1" ] && echo "$*" || echo none; }
shots="$(joined "$work/screenshots/"*.png)"
logs="$(joined "$work/tmp/kelvarion_update_log/"*.log)"
if [ $differences -eq 0 ] && [ -e "$work/client-started" ] && [ "$stage1_status" -eq 0 ]; then
  echo "The installation $work/install now equals release 2, file by file; screenshots: $shots; log: $logs"
  exit 0
fi
echo "The installation $work/install does NOT equal release 2 (see above); screenshots: $shots; log: $logs"
exit 1
