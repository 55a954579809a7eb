#!/bin/sh
# Builds MsiCA.dll and the sample package (packaging/MsiCA.wxs) in three versions, then in a
# fresh Wine prefix with the trace on: installs 1.0.0, upgrades to 1.1.0 with RUNMODE=MORA, to
# 1.2.0 without it, and removes it, printing after each step what the actions traced and
# what the machine holds: tools/run-sample.sh [BUILD-DIR]
set -e
cd "$(dirname "$0")/.."
tools="$(pwd)/tools"
tools/install-deps.sh
build=${1:-build}
tools/configure.sh "$build"
cmake --build "$build" --target MsiCA sample_msi sample_msi_1.1.0 sample_msi_1.2.0
prefix="$(cd "$build" && pwd)/sample-prefix"
bin="$(cd "$build/bin" && pwd)"
"$tools/wine-stop" "$prefix" --remove
# The prefix stays, with the MSI logs, for a look; the next run starts afresh.
trap '"$tools/wine-stop" "$prefix"' EXIT
run() { tools/wine-exec "$prefix" "$@" | tr -d '\r'; }

# The trace: the steps of every action (level 2) into C:\MsiCA-trace.log, timed.
key='HKLM\SOFTWARE\Debug\MsiCA'
run reg add 'HKLM\SOFTWARE\Debug' /f >/dev/null
run reg add "$key" /v FileDebugLevel /t REG_DWORD /d 2 /f >/dev/null
run reg add "$key" /v TraceFile /t REG_SZ /d 'C:\MsiCA-trace.log' /f >/dev/null
run reg add "$key" /v TimeStampOn /t REG_DWORD /d 1 /f >/dev/null

# step TITLE MSIEXEC-ARGUMENTS...: one msiexec run with a verbose log (C:\stepN.log), then
# the trace it left, the core service, the board driver's devices and the recorded version.
steps=0
step() {
    echo "==== $1" && shift
    steps=$((steps + 1)) && log=step$steps.log
    result=0 && tools/wine-exec "$prefix" msiexec "$@" /qn /l*v "C:\\$log" || result=$?
    echo "msiexec returned $result; its log: $prefix/drive_c/$log"
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/MsiCA-trace.log" | tr -d '\r' | grep .
    rm "$prefix/drive_c/MsiCA-trace.log"
    state=$(run sc query SntSvc | sed -n 's/.*STATE *: [0-9] *//p')
    echo "-- SntSvc: ${state:-not installed}"
    echo "-- board driver devices: $(run reg query 'HKLM\SYSTEM\CurrentControlSet\Enum\Root' /s |
        sed -n 's/.*HardwareID *REG_MULTI_SZ *//p' | grep -c -e 'bios$' -e 'busio$' -e 'smbus$')"
    run reg query 'HKLM\SOFTWARE\Arvetta\Management\Sentrel\Setup' 2>/dev/null | grep -e Installed -e Version || true
}
msi() { printf 'Z:%s' "$(echo "$bin/$1" | tr / '\\')"; }

step "first install: msiexec /i MsiCASample.msi" /i "$(msi MsiCASample.msi)"
# The running service's data, which both upgrades carry across.
mkdir -p "$prefix/drive_c/Program Files/Arvetta/Sentrel/Data/EM_UPDATE"
printf 'CommonConfig=1\r\n' >"$prefix/drive_c/Program Files/Arvetta/Sentrel/Data/CommonConfig.ccs"
printf '7' >"$prefix/drive_c/Program Files/Arvetta/Sentrel/Data/loggetd.bookmark"
step "upgrade: msiexec /i MsiCASample-1.1.0.msi RUNMODE=MORA" /i "$(msi MsiCASample-1.1.0.msi)" RUNMODE=MORA
step "upgrade: msiexec /i MsiCASample-1.2.0.msi" /i "$(msi MsiCASample-1.2.0.msi)"
step "removal: msiexec /x MsiCASample-1.2.0.msi" /x "$(msi MsiCASample-1.2.0.msi)"
