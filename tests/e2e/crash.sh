#!/bin/sh
# A power cut during a major upgrade, at each named point: the installation of version 1.0.0 with
# a data folder of a few thousand files is upgraded to 1.1.0; at the point every process of the
# prefix ends at once (wineserver -k); then the same package runs again (a repair where the new
# product is registered already, else the upgrade once more). Afterwards: the data folder byte
# for byte as before the first attempt, the service running, each board device once, the new
# version registered. Prints a table, one point a line, each with its outcome.
# crash.sh SOURCE-DIR PACKAGE-DIR WORK-DIR [POINT...]
#   points: after-stop inside-backup after-backup after-files inside-restore after-restore
#   after-convert after-cleanup after-driver-removal after-driver-install after-old-removal
#   before-start (all when none is named); inside-* are reached by watching the folders fill.
set -u
# Wine takes the package and the prefix by absolute paths only.
tools=$1/tools packages=$(cd "$2" && pwd) work=$(mkdir -p "$3" && cd "$3" && pwd) && shift 3
points=${*:-after-stop inside-backup after-backup after-files inside-restore after-restore after-convert \
after-cleanup after-driver-removal after-driver-install after-old-removal before-start}
prefix=$work/prefix template=$work/template failed=0
run() { "$tools/wine-exec" "$prefix" "$@" 2>/dev/null | tr -d '\r'; }
msi() { printf 'Z:%s' "$(echo "$packages/MsiCA-$1.msi" | tr / '\\')"; }
tree() { [ -d "$1" ] && (cd "$1" && find . -type f | sort | xargs -r sha256sum | sha256sum | cut -c1-16); }
root() { echo "$prefix/drive_c/Program Files/Arvetta/Sentrel"; }
"$tools/wine-stop" "$prefix" --remove && "$tools/wine-stop" "$template" --remove && rm -rf "$work" && mkdir -p "$work"
trap '"$tools/wine-stop" "$prefix" --remove; rm -rf "$template"' EXIT

# Version 1.0.0 with the data the running service wrote (CommonConfig.ccs already UTF-16, as
# after any upgrade): the template every point starts from.
run msiexec /i "$(msi 1.0.0)" /qn >/dev/null
data=$(root)/Data files=2000
mkdir -p "$data/EM_UPDATE/cache" && printf '\377\376c\0=\0001\0' >"$data/CommonConfig.ccs"
i=0 && while [ $i -lt $files ]; do printf '%05d' $i >"$data/EM_UPDATE/cache/item$i.bin" && i=$((i + 1)); done
saved=$(tree "$data")
"$tools/wine-stop" "$prefix" && cp -a "$prefix" "$template"

# reach POINT: waits until the upgrade, started in the background, has reached the point.
reach() {
    case $1 in
    inside-backup) folder=$(echo "$prefix"/drive_c/users/*/Temp)/Sentrel.partial newer='' ;;
    inside-restore) folder=$data newer="-cnewer $work/upgrade-start" ;;
    *) folder='' ;;
    esac
    for _ in $(seq 1200); do
        if [ -n "$folder" ]; then
            count=$( (find "$folder" -type f $newer 2>/dev/null || true) | wc -l)
            [ "$count" -gt $((files / 10)) ] && [ "$count" -lt $((files * 9 / 10)) ] && return 0
        elif [ -e "$prefix/drive_c/e2e-point.$1" ]; then
            return 0
        fi
        kill -0 "$upgrade" 2>/dev/null || return 1
        sleep 0.05
    done
    return 1
}

row='%-22s %-8s %-9s %-10s %-8s %-8s %-9s %s\n'
printf "$row" point reached rerun data service devices product result
for point in $points; do
    "$tools/wine-stop" "$prefix" --remove && cp -a "$template" "$prefix"
    touch "$work/upgrade-start" && sleep 1
    "$tools/wine-exec" "$prefix" msiexec /i "$(msi 1.1.0)" /qn CRASHPOINT="$point" >/dev/null 2>&1 &
    upgrade=$!
    reached=no && reach "$point" && reached=yes
    "$tools/wine-stop" "$prefix"
    wait "$upgrade"
    products=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
        awk '/DisplayName .*MsiCA Sample/ { n = 1 } n && /DisplayVersion/ { print $NF; n = 0 }' | xargs)
    if echo "$products" | grep -q 1.1.0; then
        rerun=repair && run msiexec /i "$(msi 1.1.0)" /qn REINSTALL=ALL REINSTALLMODE=omus >/dev/null
    else
        rerun=upgrade && run msiexec /i "$(msi 1.1.0)" /qn >/dev/null
    fi
    [ "$(tree "$data")" = "$saved" ] && same=same || same=LOST
    service=$(run sc query SntSvc | sed -n 's/.*STATE *: [0-9] *//p')
    devices=$(run reg query 'HKLM\SYSTEM\CurrentControlSet\Enum\Root' /s | sed -n 's/.*HardwareID.*{809E0B92-25A8-4fa0-9FBB-43A2F758EA93}\\//p' | sort | xargs)
    [ "$devices" = 'bios busio smbus' ] && devices=once || devices="[$devices]"
    products=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s |
        awk '/DisplayName .*MsiCA Sample/ { n = 1 } n && /DisplayVersion/ { print $NF; n = 0 }' | xargs)
    result=pass && [ "$reached $same ${service:-none} $devices [$products]" = "yes same RUNNING once [1.1.0]" ] ||
        result=FAIL failed=1
    printf "$row" "$point" $reached $rerun $same "${service:-none}" "$devices" "[$products]" $result
done
printf '%s\n' "$([ $failed = 0 ] && echo 'every point recovered' || echo 'some points did not recover')"
exit $failed
