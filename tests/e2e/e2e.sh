#!/bin/sh
# The test build of the package through Wine's msiexec, every lifecycle step a deployment system
# runs, in one fresh prefix, each with a verbose MSI log: a failed and a good first install, major
# upgrades with and without RUNMODE=MORA, a rebuild of the same version, a minor upgrade, a repair,
# the Drivers feature removed and added back, a failed major upgrade, a repair after it, and the removal.
# After each: the actions that ran and their results, the service, each board device, the IPMI
# driver, the recorded date and version, the registered product, the module calls and the data
# folder byte for byte.
# e2e.sh SOURCE-DIR PACKAGE-DIR WORK-DIR
set -u
tools=$1/tools packages=$2 work=$3 prefix=$3/prefix failed=0
"$tools/wine-stop" "$prefix" --remove && rm -rf "$work" && mkdir -p "$work"
# A failed run leaves its prefix for a look; the MSI logs and traces stay in WORK-DIR.
trap '"$tools/wine-stop" "$prefix" $([ $failed = 0 ] && echo --remove)' EXIT
# run PROGRAM [ARGS...]: what the program printed. Its errors (Wine's own among them, when it could
# not start) and its exit status go to programs.log in the work folder: where a check misses an
# answer, the log shows whether the program ran at all.
run() { { WINEDEBUG=-all,err+all "$tools/wine-exec" "$prefix" "$@" 2>>"$work/programs.log"; printf 'exit status %s: %s\n' "$?" "$*" >>"$work/programs.log"; } | tr -d '\r'; }
expect() { [ "$2" = "$3" ] || { failed=1 && printf 'FAILED: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; }; }
root="$prefix/drive_c/Program Files/Arvetta/Sentrel" setup='HKLM\SOFTWARE\Arvetta\Management\Sentrel\Setup'
# service_state SERVICE: the state sc reports, empty without one. What sc printed, its errors (Wine's
# own among them: why a service could not be opened) and its status stay in the work folder.
service_state() {
    answer=$work/$name.sc-$1
    WINEDEBUG=-all,err+all,warn+rpc,trace+sc "$tools/wine-exec" "$prefix" sc query "$1" >"$answer.out" 2>"$answer.err"
    echo "exit status $?" >>"$answer.err"
    tr -d '\r' <"$answer.out" | sed -n 's/.*STATE *: [0-9] *//p'
}
# The Wine processes of the prefix (the server's options among them), for a failed check.
processes() {
    for p in /proc/[0-9]*; do
        tr '\0' '\n' 2>/dev/null <"$p/environ" | grep -qxF "WINEPREFIX=$prefix" &&
            printf '%s %s\n' "${p#/proc/}" "$(tr '\0' ' ' 2>/dev/null <"$p/cmdline")"
    done
}
tree() { [ -d "$1" ] && (cd "$1" && find . -type f | sort | xargs -r sha256sum | sha256sum | cut -c1-16); }
# watched_msiexec ARGS...: msiexec's result; Wine's errors go to $name.wine. A step takes about
# ten seconds, MsiCA's longest legitimate wait two minutes: one that runs past step_limit hangs,
# and the run stops there.
step_limit=150
watched_msiexec() {
    WINEDEBUG=-all,err+all "$tools/wine-exec" "$prefix" msiexec "$@" >/dev/null 2>"$work/$name.wine" &
    installer=$! waited=0
    while kill -0 $installer 2>/dev/null; do
        [ $waited -lt $step_limit ] || { report_hang && exit 1; }
        sleep 1 && waited=$((waited + 1))
    done
    wait $installer
}
# What a hung step was doing: the last action the MSI log started, the end of the trace, Wine's
# errors so far (wine-exec passes a program's errors on only when it ends: until then they are in
# its file) and the processes of the prefix (is msiexec's custom action server among them?).
report_hang() {
    failed=1 && printf 'FAILED: %s: msiexec still running after %s s\n' "$name" $step_limit
    echo "  last action started: $(tr -d '\r' <"$prefix/drive_c/$name.log" | grep '^Action start' | tail -n 1)"
    echo '  end of the trace:' && iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/trace.log" | tr -d '\r' | grep . | tail -n 10
    echo "  Wine's errors:" && processes | while read -r pid command; do
        [ -f "/proc/$pid/fd/2" ] && echo "$pid $(readlink "/proc/$pid/fd/2")"
    done | sort -u -k2 | while read -r pid file; do
        tail -n 10 "/proc/$pid/fd/2" 2>/dev/null
    done
    echo '  processes:' && processes | sed 's/^/    /'
}
run reg add 'HKLM\SOFTWARE\Debug\MsiCA' /v FileDebugLevel /t REG_DWORD /d 3 /f >/dev/null
run reg add 'HKLM\SOFTWARE\Debug\MsiCA' /v TraceFile /t REG_SZ /d 'C:\trace.log' /f >/dev/null

# step NAME PACKAGE RESULT ACTIONS STATE TRACE-LINES MSIEXEC-ARGUMENTS...: the package's path
# stands for {} in the arguments. RESULT: msiexec's, or "failure" for any but 0. ACTIONS: the
# entry lines in the trace, in order (the immediate reservation of progress ticks aside).
step() {
    name=$1 msi="Z:$(echo "$packages/MsiCA-$2.msi" | tr / '\\')" result=$3 actions=$4 state=$5 lines=$6 && shift 6
    start=$(date +%s)
    watched_msiexec $(for a in "$@"; do [ "$a" = {} ] && printf "%s\n" "$msi" || printf "%s\n" "$a"; done) /qn /l*v "C:\\$name.log"
    outcome=$? && [ $outcome != 0 ] && [ "$result" = failure ] && outcome=failure
    expect "$name: msiexec result" "$result" $outcome && echo "$name: $(($(date +%s) - start)) s"
    log=$work/$name.log trace=$work/$name.trace && cp "$prefix/drive_c/$name.log" "$log"
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/trace.log" | tr -d '\r' >"$trace" && rm "$prefix/drive_c/trace.log"
    expect "$name: actions in the trace" "$actions" "$(sed -n 's/^MsiCA  *: \([vm][a-z]*CA_[A-Za-z0-9]*\|MoraCA_[A-Za-z]*\)$/\1/p' "$trace" | grep -vx moraCA_ReserveProgress | xargs)"
    # Wine logs a deferred action also where it schedules it, a rollback action too: the log
    # shows which of them ended with another value than 1 (success).
    expect "$name: our actions that failed in the MSI log" '' \
        "$(sed -n 's/^Action ended [0-9:]*: \([vm][a-z]*CA_[A-Za-z0-9]*\|Rollback[A-Za-z0-9]*\)\. Return value \([02-9]\)\.$/\1 \2/p' "$log" | xargs)"
    expect "$name: trace lines missing" '' "$(echo "$lines" | tr '|' '\n' | while read -r l; do grep -qF "$l" "$trace" || echo "$l"; done | xargs -0)"
    devices=$(run reg query 'HKLM\SYSTEM\CurrentControlSet\Enum\Root' /s | sed -n 's/.*HardwareID.*{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\//p' | xargs)
    recorded=$(run reg query "$setup" | sed -n 's/^ *\(Installed\|Version\) *REG_SZ *//p' | sed 's#^[0-9/]\{10\} [0-9:]\{8\}$#date#' | xargs -0)
    service=$(service_state SntSvc) ipmi=$(service_state ImbDrvNT)
    products=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | tr -d '\r' |
        awk '/DisplayName .*MsiCA Sample/ { n = 1 } n && /DisplayVersion/ { print $NF; n = 0 }' | xargs)
    codes=$(for m in EM_DEF EM_DRVMON EM_UPDATE; do printf '%s:%s ' $m "$(tr -cd 0-9 <"$root/$m.dll.codes")"; rm -f "$root/$m.dll.codes"; done 2>/dev/null)
    actual="${service:-none} [$devices] [$(echo $recorded)] ipmi:${ipmi:-none} [$products] $codes$(tree "$root/Data")"
    [ "$actual" = "$state" ] || processes >"$work/$name.processes"
    expect "$name: service, devices, recorded date and version, IPMI driver, products, module calls, data" "$state" "$actual"
}

data='moraCA_EMDataBackup MoraCA_EMDataRestore MoraCA_EMDataConvert' cleanup=MoraCA_EMDataCleanup
stop=vrxCA_StopSentrel svcstart=vrxCA_StartSentrel halb=vrxCA_RegDriver replace=moraCA_Halb2DriverRemove
up="RUNNING [bios busio smbus] [date 7.31.0.415 (stand-in)] ipmi:none" none='EM_DEF: EM_DRVMON: EM_UPDATE:'

# A failed first install leaves no service, device or driver behind: the board devices go again.
step failed-first 1.3.0-fail failure "$replace $halb vrxCA_UnregDriver" "none [] [] ipmi:none [] $none " '' /i {}
# A first install carries nothing over: no data action runs, nothing is left in the temporary
# folder. (Wine's SMBIOS table has no IPMI controller: ImbDrvNT is never needed.)
step install 1.0.0 0 "$replace $halb vrxCA_FinalConfig $svcstart" "$up [1.0.0] $none e3b0c44298fc1c14" \
    'Sentrel service successfully started!|Halb2 SMBUS device driver successfully loaded|SMBIOS structure type 38 not found' /i {}
temp=$(echo "$prefix"/drive_c/users/*/Temp)
expect 'install: the temporary folder' '' "$(ls "$temp")"
# What the running service wrote: a UTF-16 CommonConfig.ccs (kept as it is), the bookmark, a tree.
mkdir -p "$root/Data/EM_UPDATE/cache"
printf '\377\376c\0=\0001\0' >"$root/Data/CommonConfig.ccs" && printf 7 >"$root/Data/loggetd.bookmark"
head -c 70000 /dev/urandom >"$root/Data/EM_UPDATE/cache/state.bin" && saved=$(tree "$root/Data")

step mora 1.1.0 0 "$stop $data $replace moraCA_Halb2DriverInstall moraCA_RestartMicrosoftIpmi vrxCA_FinalConfig $svcstart $cleanup" \
    "$up [1.1.0] EM_DEF:1234 EM_DRVMON: EM_UPDATE:1234 $saved" \
    'Sentrel service successfully stopped!|Found CustomActionData: "MORA"|Run mode set to 5|Halb2 BIOS device successfully removed' \
    /i {} RUNMODE=MORA
cmp -s "$root/Data/CommonConfig.ccs" "$temp/EM_DEF/CommonConfig.ccs" && cmp -s "$root/Data/loggetd.bookmark" "$temp/EM_DRVMON/loggetd.bookmark" ||
    expect 'mora: the settings of EM_DEF and EM_DRVMON saved' saved 'not saved'
plain="$stop $data $replace $halb vrxCA_FinalConfig $svcstart $cleanup"
step plain 1.2.0 0 "$plain" "$up [1.2.0] EM_DEF:34 EM_DRVMON: EM_UPDATE:34 $saved" \
    'Run mode set to 0|Config of Sentrel copied to|Config of Sentrel restored from' /i {}
expect 'plain: the data folder saved' "$saved" "$(tree "$temp/Sentrel")"
# The verbose log shows the action data of the backup and the restore: the last of three files.
expect 'plain: action data in the MSI log' 2 \
    "$(tr -d '\r' <"$work/plain.log" | grep -cxE '(CommonConfig\.ccs|loggetd\.bookmark|state\.bin) \(3 of 3\)')"
# The same version built again replaces the installed one (AllowSameVersionUpgrades).
step rebuild 1.2.0-rebuild 0 "$plain" "$up [1.2.0] EM_DEF:34 EM_DRVMON: EM_UPDATE:34 $saved" '' /i {}
# The same product code at a higher version; a repair after it. Both write the registry values
# again, which vrxCA_FinalConfig fills again.
maintain="$stop $replace $halb vrxCA_FinalConfig $svcstart"
step minor 1.2.1 0 "$maintain" "$up [1.2.1] $none $saved" 'Sentrel service successfully stopped!' \
    /i {} REINSTALL=ALL REINSTALLMODE=vomus
# (Wine 8's msiexec /fomus returns 1 at once: the same reinstall through its properties.)
step repair 1.2.1 0 "$maintain" "$up [1.2.1] $none $saved" 'Sentrel service successfully started!' \
    /i {} REINSTALL=ALL REINSTALLMODE=omus
# Wine reinstalls the Main feature on a change of another (&Main=3): the recorded values are
# written again, and filled again.
step drivers-off 1.2.1 0 "$stop vrxCA_UnregDriver vrxCA_FinalConfig $svcstart" "RUNNING [] [date 7.31.0.415 (stand-in)] ipmi:none [1.2.1] $none $saved" \
    'Halb2 BIOS device successfully removed' /i {} REMOVE=Drivers
step drivers-on 1.2.1 0 "$stop $replace $halb vrxCA_FinalConfig $svcstart" "$up [1.2.1] $none $saved" 'Halb2 SMBUS device driver successfully loaded' \
    /i {} ADDLOCAL=Drivers

# An action after the data and driver actions fails: MsiCA's rollback partners run in reverse
# order (the cleanup, a commit action, does not run). Wine's own rollback then differs from
# Windows': it has already deleted the product's service, files and registry values (so the
# board driver's files are gone too, and no device can be installed again); the old product
# stays registered.
step failed 1.3.0-fail failure "$stop $data $replace $halb moraCA_Halb2DriverReinstall moraCA_EMDataRollback $svcstart" \
    "none [] [] ipmi:none [1.2.1] EM_DEF:3 EM_DRVMON: EM_UPDATE:3 $saved" \
    'Installing Halb2 BIOS device FAILED!|Start service Sentrel failed!|the copy goes back to' /i {}
expect 'failed: the saved copy restored' '' "$(cd "$temp" && ls -d Sentrel.pending Sentrel.restoring 2>/dev/null)"
step repair-after-failure 1.2.1 0 "$maintain" "$up [1.2.1] $none $saved" 'Sentrel service successfully started!' \
    /i {} REINSTALL=ALL REINSTALLMODE=omus
step remove 1.2.1 0 "$stop vrxCA_UnregDriver" "none [] [] ipmi:none [] $none $saved" \
    'Sentrel service successfully stopped!|Halb2 BIOS device successfully removed' /x {}
exit $failed
