#!/bin/sh
# The sample package through Wine's msiexec in a fresh prefix of its own: a first install, an
# upgrade with RUNMODE=MORA, one without, and the removal, each with a verbose MSI log. After
# each: the actions that ran and their results, services, devices, registry, data, trace.
# e2e.sh SOURCE-DIR BIN-DIR WORK-DIR
set -u
tools=$1/tools bin=$2 work=$3 prefix=$3/prefix failed=0
"$tools/wine-stop" "$prefix" --remove && rm -rf "$work" && mkdir -p "$work"
# A failed run leaves its prefix with the MSI logs for a look.
trap '"$tools/wine-stop" "$prefix" $([ $failed = 0 ] && echo --remove)' EXIT
run() { "$tools/wine-exec" "$prefix" "$@" 2>/dev/null | tr -d '\r'; }
expect() { [ "$2" = "$3" ] || { failed=1 && printf 'FAILED: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; }; }
root="$prefix/drive_c/Program Files/Arvetta/Sentrel" setup='HKLM\SOFTWARE\Arvetta\Management\Sentrel\Setup'
tree() { [ -d "$1" ] && (cd "$1" && find . -type f | sort | xargs -r sha256sum | sha256sum | cut -c1-16); }
run reg add 'HKLM\SOFTWARE\Debug\MsiCA' /v FileDebugLevel /t REG_DWORD /d 3 /f >/dev/null
run reg add 'HKLM\SOFTWARE\Debug\MsiCA' /v TraceFile /t REG_SZ /d 'C:\trace.log' /f >/dev/null

# step NAME PACKAGE-SUFFIX ACTIONS STATE TRACE-LINES /i|/x [PROPERTY=VALUE...]
step() {
    name=$1 msi="Z:$(echo "$bin/MsiCASample$2.msi" | tr / '\\')" actions=$3 state=$4 lines=$5 option=$6 && shift 6
    start=$(date +%s) && "$tools/wine-exec" "$prefix" msiexec "$option" "$msi" /qn /l*v "C:\\$name.log" "$@" >/dev/null 2>&1
    expect "$name: msiexec result" 0 $? && echo "$name: $(($(date +%s) - start)) s"
    log=$prefix/drive_c/$name.log trace=$work/$name.trace
    iconv -f UTF-16 -t UTF-8 "$prefix/drive_c/trace.log" | tr -d '\r' >"$trace" && rm "$prefix/drive_c/trace.log"
    expect "$name: actions in the trace" "$actions" "$(sed -n 's/^MsiCA  *: \([vm][a-z]*CA_[A-Za-z0-9]*\|MoraCA_[A-Za-z]*\)$/\1/p' "$trace" | xargs)"
    expect "$name: results in the MSI log" "$(echo "$actions" | sed 's/Mora/mora/g' | xargs -n1 | sort -u | sed 's/$/ 1/' | xargs)" \
        "$(sed -n 's/^Action ended [0-9:]*: \([vm][a-z]*CA_[A-Za-z0-9]*\)\. Return value \([0-9]*\)\.$/\1 \2/p' "$log" | sort -u | xargs)"
    expect "$name: trace lines missing" '' "$(echo "$lines" | tr '|' '\n' | while read -r l; do grep -qF "$l" "$trace" || echo "$l"; done | xargs -0)"
    devices=$(run reg query 'HKLM\SYSTEM\CurrentControlSet\Enum\Root' /s | sed -n 's/.*HardwareID.*{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\//p' | xargs)
    recorded=$(run reg query "$setup" | sed -n 's/^ *\(Installed\|Version\) *REG_SZ *//p' | sed 's#^[0-9/]\{10\} [0-9:]\{8\}$#date#' | xargs -0)
    service=$(run sc query SntSvc | sed -n 's/.*STATE *: [0-9] *//p')
    codes=$(for m in EM_DEF EM_DRVMON EM_UPDATE; do printf '%s:%s ' $m "$(tr -cd 0-9 <"$root/$m.dll.codes")"; rm -f "$root/$m.dll.codes"; done 2>/dev/null)
    expect "$name: service, devices, recorded date and version, module calls, data" "$state" \
        "${service:-none} [$devices] [$(echo $recorded)] $codes$(tree "$root/Data")"
}

ran='moraCA_EMDataBackup MoraCA_EMDataRestore MoraCA_EMDataConvert MoraCA_EMDataCleanup'
halb=vrxCA_RegDriver ready='vrxCA_FinalConfig vrxCA_StartSentrel' up="RUNNING [bios busio smbus] [date 7.31.0.415 (stand-in)]"
step install '' "$ran $halb $ready" "$up EM_DEF:34 EM_DRVMON: EM_UPDATE:34 e3b0c44298fc1c14" \
    'Sentrel service successfully started!|Halb2 SMBUS device driver successfully loaded|SMBIOS structure type 38 not found' /i
# What the running service wrote: a UTF-16 CommonConfig.ccs (kept as it is), the bookmark, a tree.
data=$root/Data && mkdir -p "$data/EM_UPDATE/cache"
printf '\377\376c\0=\0001\0' >"$data/CommonConfig.ccs" && printf 7 >"$data/loggetd.bookmark"
head -c 70000 /dev/urandom >"$data/EM_UPDATE/cache/state.bin" && saved=$(tree "$data")
step mora -1.1.0 "vrxCA_StopSentrel $ran moraCA_Halb2DriverRemove moraCA_Halb2DriverInstall moraCA_RestartMicrosoftIpmi $ready" \
    "$up EM_DEF:1234 EM_DRVMON: EM_UPDATE:1234 $saved" \
    'Sentrel service successfully stopped!|Found CustomActionData: "MORA"|Run mode set to 5|Halb2 BIOS device successfully removed' \
    /i RUNMODE=MORA
temp=$(echo "$prefix"/drive_c/users/*/Temp)
cmp -s "$data/CommonConfig.ccs" "$temp/EM_DEF/CommonConfig.ccs" && cmp -s "$data/loggetd.bookmark" "$temp/EM_DRVMON/loggetd.bookmark" ||
    expect 'mora: the settings of EM_DEF and EM_DRVMON saved' saved 'not saved'
step plain -1.2.0 "vrxCA_StopSentrel $ran moraCA_Halb2DriverRemove $halb $ready" "$up EM_DEF:34 EM_DRVMON: EM_UPDATE:34 $saved" \
    'Run mode set to 0|Config of Sentrel copied to|Config of Sentrel restored from' /i
expect 'plain: the data folder saved' "$saved" "$(tree "$temp/Sentrel")"
step remove -1.2.0 'vrxCA_StopSentrel vrxCA_UnregDriver' "none [] [] EM_DEF: EM_DRVMON: EM_UPDATE: $saved" \
    'Sentrel service successfully stopped!|Halb2 BIOS device successfully removed' /x
exit $failed
