#!/usr/bin/env bash
# Checks the release package, unpacked as a user unpacks it.
#
#   check_package.sh contents PACKAGE "PROGRAM;..." OBJDUMP WINDRES
#       the exact list of files; the texts' line ends; on Windows, that each
#       program imports system DLLs only and carries its version and manifest
#   check_package.sh run PACKAGE FAKE_PROGRAM [WINE_RUN]
#       unpacked under a path with blanks: the shipped example reads as its two
#       programs, then a configuration beside the watchdog has it supervise the
#       fake program through a crash and a finish; last, the commands of the
#       package's README.txt, run as written where it says to run them
#
# The tarball holds one folder of its own name; the zip holds its files alone.
set -euo pipefail

mode=$1 package=$2
top=$(basename "$package")
top=${top%.zip}
top=${top%.tar.gz}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unpacked="$work/lab tools"
mkdir -p "$unpacked"
fail() { echo "FAILED: $*" >&2; exit 1; }

if [[ $package == *.zip ]]; then
  windows=1 exe=.exe crlf=$'\r' sep='\'
  unzip -q "$package" -d "$unpacked"
  listing=$(unzip -Z1 "$package")
else
  windows=0 exe='' crlf='' sep=/
  tar xzf "$package" -C "$unpacked"
  listing=$(tar tzf "$package")
fi
if [ $windows = 1 ]; then dir="$unpacked" prefix=''; else dir="$unpacked/$top" prefix="$top/"; fi

if [ "$mode" = contents ]; then
  IFS=';' read -r -a programs <<<"$3"
  if [ $windows = 1 ]; then starter=tavrelon-task.xml; else starter=tavrelon.service; fi
  expected=("${prefix}LICENSE.txt" "${prefix}README.txt" "${prefix}TavrelonConfig.ini" "$prefix$starter")
  for program in "${programs[@]}"; do expected+=("$prefix$program$exe"); done
  diff <(printf '%s\n' "${expected[@]}" | LC_ALL=C sort) <(grep -v '/$' <<<"$listing" | LC_ALL=C sort) ||
    fail "files in the package"
  for text in README.txt TavrelonConfig.ini LICENSE.txt; do
    [ "$(grep -c '' "$dir/$text")" -gt 10 ] || fail "$text is nearly empty"
    # Every line, the last included, ends in CR LF on Windows and in a bare LF elsewhere.
    lines=$(grep -c '' "$dir/$text") ended=$(grep -c $'\r$' "$dir/$text" || true)
    [ "$ended" -eq $((windows * lines)) ] ||
      fail "$text: not every line ends as the platform's texts do"
    [ "$(tail -c 1 "$dir/$text" | od -An -c | tr -d ' ')" = '\n' ] || fail "$text: last line unended"
  done
  if [ $windows = 0 ]; then
    # The user unit, where systemd can check it: run from ~/tavrelon, as it says.
    if command -v systemd-analyze >/dev/null; then
      mkdir -p "$work/home" && ln -s "$dir" "$work/home/tavrelon"
      HOME="$work/home" systemd-analyze verify "$dir/$starter" || fail "$starter does not verify"
    fi
    grep -qx 'ExecStart=%h/tavrelon/tavrelon' "$dir/$starter" || fail "$starter starts something else"
    exit 0
  fi
  # The task: well-formed, started at logon in the watchdog's folder, never
  # twice, and with no time limit (the default ends a task after 72 hours).
  python3 - "$dir/$starter" <<'PY' || fail "$starter"
import sys
import xml.etree.ElementTree as tree
ns = {"t": "http://schemas.microsoft.com/windows/2004/02/mit/task"}
task = tree.parse(sys.argv[1]).getroot()
def text(path):
    found = task.find(path, ns)
    return None if found is None else found.text
checks = {
    "a logon trigger": task.find("t:Triggers/t:LogonTrigger", ns) is not None,
    "the user's session": text("t:Principals/t:Principal/t:LogonType") == "InteractiveToken",
    "the watchdog": text("t:Actions/t:Exec/t:Command") == "C:\\Tavrelon\\tavrelon.exe",
    "its folder": text("t:Actions/t:Exec/t:WorkingDirectory") == "C:\\Tavrelon",
    "no time limit": text("t:Settings/t:ExecutionTimeLimit") == "PT0S",
    "never twice": text("t:Settings/t:MultipleInstancesPolicy") == "IgnoreNew",
}
for what, ok in checks.items():
    if not ok:
        sys.exit("no " + what)
PY
  objdump=$4 windres=$5
  version=${top#tavrelon-}
  version=${version%%-*}
  for program in "${programs[@]}"; do
    file="$dir/$program.exe"
    dlls=$("$objdump" -p "$file" | sed -n 's/^\s*DLL Name: //p')
    [ -n "$dlls" ] || fail "$program.exe: no imports read"
    bad=$(grep -viE '^(kernel32|msvcrt|user32|advapi32|shell32|ole32|ws2_32|bcrypt|dbghelp|api-ms-win-[a-z0-9-]+)\.dll$' <<<"$dlls") &&
      fail "$program.exe imports $bad"
    resources=$("$windres" -J coff -i "$file" -O rc)
    for want in 'VERSIONINFO' "FILEVERSION ${version//./, }, 0" 'VALUE "ProductName", "Tavrelon"' \
      'VALUE "FileDescription", "Tavrelon ' "VALUE \"OriginalFilename\", \"$program.exe\"" 'longPathAware'; do
      grep -qF "$want" <<<"$resources" || fail "$program.exe: no $want in its resources"
    done
  done
  exit 0
fi

fake=$3 wine=${4:-}
run_watchdog() { timeout 300 ${wine:+"$wine"} "$dir/tavrelon$exe" </dev/null | tr -d '\r'; }
# The watchdog takes paths in its own system's form: Wine shows the Linux root as Z:.
native() { if [ $windows = 1 ]; then local p="Z:$1"; echo "${p//\//\\}"; else echo "$1"; fi; }

# The example's log folders are not there: said at start, with their lines.
if [ $windows = 1 ]; then example='C:\Tests'; else example=/opt/tests; fi
read -r -d '' -a at < <(grep -n '^ApplicationLogDir:' "$dir/TavrelonConfig.ini" | cut -d: -f1) || true
missing() {
  echo "Warning: TavrelonConfig.ini line $1: ApplicationLogDir [$example${sep}logs$sep$2] does not exist:" \
    "no log can grow there until something creates it, so each run is timed out after $3 minutes."
}
diff <(printf '%s\n' "$(missing "${at[0]}" alpha 30)" "$(missing "${at[1]}" beta 10)" \
  "Program [1]:" "Specified program [alpha$exe] not found!" "Program [2]:" \
  "Specified program [beta$exe] not found!") <(run_watchdog) ||
  fail "the shipped example does not read as the programs alpha and beta"

mkdir -p "$work/lab programs"
cp "$fake" "$work/lab programs/"
name=$(basename "$fake")
logs=$(native "$work/lab logs")
mkdir -p "$work/lab logs"
printf '%s\n' "# written as a lab would" "ApplicationPath: $(native "$work/lab programs/$name")" \
  "ApplicationArgument: --log-dir \"$logs\" --interval-ms 100 --lines 3 --crash-once \"$(native "$work/marker")\"" \
  "ApplicationLogDir: $logs" "TimeOutMin: 1" | sed "s/\$/$crlf/" >"$dir/TavrelonConfig.ini"

output=$(cd "$work" && run_watchdog) || fail "the watchdog ended with a failure status"
stamp='_[0-9]{14}'
expected="Program [1]:

Start running [$name]...

[$name] has crashed!  Restarting now...

Start running [$name]...
[${name}_STAMP] has finished!"
diff <(echo "$expected") <(sed -E "s/$stamp/_STAMP/g" <<<"$output") || fail "console lines"

logs_found=("$dir"/TavrelonLog_"$name"_*.csv)
[ ${#logs_found[@]} = 1 ] && [ -f "${logs_found[0]}" ] || fail "no one status log beside the watchdog"
time='[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}'
diff <(printf '%s\r\n' "Application_ID,Running_Status,Start_Time,End_Time,Latest_Log" \
  "${name}_STAMP,crashed,TIME,TIME,[$logs${sep}fake.csv] line 3 RUN" "${name}_STAMP,finished,TIME,TIME,N/A") \
  <(sed -E "s/$stamp/_STAMP/; s/$time/TIME/g; s/ line 3 [0-9]+\r$/ line 3 RUN\r/" "${logs_found[0]}") ||
  fail "status log rows"

# The README's commands (the lines indented by seven blanks), as a user types
# them, each where it says: on Windows in the folder the zip was extracted to.
mapfile -t commands < <(tr -d '\r' <"$dir/README.txt" | sed -n 's/^       \([^ ]\)/\1/p')
[ ${#commands[@]} -ge 3 ] || fail "README.txt: no commands found"
cp "$package" "$unpacked/"
here="$unpacked"
for command in "${commands[@]}"; do
  echo "README.txt: $command"
  case $command in
  'tar xzf '* | 'cd '*)
    if [ $windows = 1 ]; then
      # The folder named is the one the text extracts to.
      grep -qF "give ${command#cd } as the destination" <(tr -d '\r' <"$dir/README.txt" | tr '\n' ' ' | tr -s ' ') ||
        fail "README.txt: $command is not the folder it extracts to"
      here="$dir"
    else
      cd "$here" && eval "$command" && here=$(pwd) || fail "README.txt: $command"
    fi
    ;;
  */tavrelon$exe | *'\tavrelon'$exe)
    [ "$here" = "$dir" ] || fail "README.txt: the watchdog run outside its folder"
    (cd "$here" && timeout 300 ${wine:+"$wine"} ./tavrelon$exe </dev/null >"$work/readme-run.txt") ||
      fail "README.txt: $command"
    grep -q "^Program \[1\]:" "$work/readme-run.txt" || fail "README.txt: $command printed no program"
    ;;
  *tavrelon_report$exe' .')
    (cd "$here" && ${wine:+"$wine"} ./tavrelon_report$exe . </dev/null >"$work/readme-report.txt") ||
      fail "README.txt: $command"
    page=$(tr -d '\r' <"$work/readme-report.txt" | tail -n 1)
    [[ $page == *TavrelonReport_*.html ]] && [ -f "$here/$(basename "${page//\\//}")" ] ||
      fail "README.txt: $command wrote no page"
    ;;
  *) fail "README.txt: a command this check does not know: $command" ;;
  esac
done
