#!/bin/sh
# Builds MsiCA.dll and its sample package, installs and removes the package with Wine's
# msiexec in a fresh prefix with the trace on, and prints the trace: tools/run-sample.sh [BUILD-DIR] [RUNMODE]
set -e
cd "$(dirname "$0")/.."
tools="$(pwd)/tools"
tools/install-deps.sh
build=${1:-build}
runmode=${2:-MORA}
tools/configure.sh "$build"
cmake --build "$build" --target MsiCA sample_msi
prefix="$(cd "$build" && pwd)/sample-prefix"
"$tools/wine-stop" "$prefix" --remove
trap '"$tools/wine-stop" "$prefix" --remove' EXIT
run() { tools/wine-exec "$prefix" "$@"; }

# Trace everything into C:\MsiCA-trace.log, with date and time on every line.
key='HKLM\SOFTWARE\Debug\MsiCA'
run reg add 'HKLM\SOFTWARE\Debug' /f >/dev/null
run reg add "$key" /v FileDebugLevel /t REG_DWORD /d 6 /f >/dev/null
run reg add "$key" /v TraceFile /t REG_SZ /d 'C:\MsiCA-trace.log' /f >/dev/null
run reg add "$key" /v DateStampOn /t REG_DWORD /d 1 /f >/dev/null
run reg add "$key" /v TimeStampOn /t REG_DWORD /d 1 /f >/dev/null

# A small data folder for the data actions: any RUNMODE but MORA copies it into the
# temporary directory and back, and the restore turns its ANSI CommonConfig.ccs into UTF-16.
data="$prefix/drive_c/SentrelData"
mkdir -p "$data/Config"
printf '[General]\r\nName=Sample\r\n' >"$data/CommonConfig.ccs"
printf 'sample settings\r\n' >"$data/Config/settings.ini"
run reg add 'HKLM\SOFTWARE\Arvetta\Management\Sentrel\DATA' /v DataRoot /t REG_SZ /d 'C:\SentrelData' /f >/dev/null

msi="$(cd "$build/bin" && pwd)/MsiCASample.msi"
echo "== msiexec /i MsiCASample.msi RUNMODE=$runmode"
run msiexec /i "$msi" /qn "RUNMODE=$runmode"
echo "== msiexec /x MsiCASample.msi"
run msiexec /x "$msi" /qn
echo "== C:\\SentrelData after the restore; CommonConfig.ccs begins:"
(cd "$data" && find . -type f) && od -A n -t x1 -N 8 "$data/CommonConfig.ccs"
echo "== C:\\MsiCA-trace.log"
iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/MsiCA-trace.log" | tr -d '\r'
echo
