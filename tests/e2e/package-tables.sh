#!/bin/sh
# The package as built for Windows read back with msiinfo: what the source asks of WiX is in
# its tables although wixl alone would not write it. package-tables.sh SOURCE.wxs PACKAGE.msi
set -u
source=$1 package=$2 failed=0
expect() { [ "$2" = "$3" ] || { failed=1 && printf 'FAILED: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"; }; }
table() { msiinfo export "$package" "$1" | tr -d '\r' | tail -n +4; }
ids() { grep "$1" "$source" | sed -n 's/.* Id="\([^"]*\)".*/\1/p'; }

# The kind bits of each custom action's type: in-script 1024, rollback 256, commit 512, no
# impersonation 2048 (and 64 where the result is ignored).
types=$(table CustomAction | cut -f1,2 | while read -r action type; do echo "$action $((type & 3840))"; done)
for kind in 'Execute="deferred":3072' 'Execute="rollback":3328' 'Execute="commit":3584'; do
    for action in $(ids "<CustomAction .*${kind%:*}"); do
        expect "$action: type bits" "$action ${kind#*:}" "$(echo "$types" | grep "^$action ")"
    done
done

# MajorUpgrade Schedule="afterInstallExecute": the old product goes right after InstallExecute.
sequence=$(table InstallExecuteSequence | awk -F'\t' '{ print $3, $1 }' | sort -n)
expect 'RemoveExistingProducts right after InstallExecute, before InstallFinalize' \
    '6500 InstallExecute|6501 RemoveExistingProducts|6600 InstallFinalize' \
    "$(echo "$sequence" | grep -e ' InstallExecute$' -e RemoveExistingProducts -e InstallFinalize | paste -sd'|')"
# AllowSameVersionUpgrades: the upgrade row includes its maximum, the product's own version.
expect 'upgrade row' '1.0.0 513' "$(table Upgrade | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $3, $5 }')"
# The UI element's progress texts.
expect 'ActionText rows' "$(grep -c '<ProgressText ' "$source")" "$(table ActionText | grep -c .)"
expect 'ActionText of vrxCA_StopSentrel' 'Stopping the Sentrel service' \
    "$(table ActionText | awk -F'\t' '$1 == "vrxCA_StopSentrel" { print $2 }')"
[ $failed = 0 ] && echo "package tables: all as WiX writes them"
exit $failed
