#!/bin/sh
# Builds a WiX 3 source with wixl, then writes with msibuild what wixl leaves out, as WiX would:
#   Execute="rollback" / "commit"   wixl writes neither the in-script bit nor the rollback or
#                                   commit bit (a rollback action would run at once, during the
#                                   sequence): 1024 + 256 (rollback) or 512 (commit) added
#   MajorUpgrade Schedule           wixl puts RemoveExistingProducts after InstallValidate
#   AllowSameVersionUpgrades="yes"  the upgrade row includes the maximum version (512)
#   <UI><ProgressText>              wixl aborts on a UI element: the ActionText rows (with
#                                   their templates)
# Elements are read one per line; texts hold no apostrophe. Run in the folder with the files
# the source names.
# wixl-build.sh SOURCE.wxs OUTPUT.msi [wixl options...]
set -eu
source=$1 output=$2 && shift 2
work=$output.d && rm -rf "$work" && mkdir -p "$work"
# wixl finds the sources beside the .wxs and in the working folder.
find "$(dirname "$source")" -maxdepth 1 -type f ! -name '*.wxs' -exec cp {} "$work" \;
sed '/<UI>/,/<\/UI>/d' "$source" >"$work/$(basename "$source")"
rm -f "$output" && wixl -a x64 "$@" -o "$output" "$work/$(basename "$source")"
rm -rf "$work"

query() { msibuild "$output" -q "$1"; }
attribute() { sed -n "s/.*[[:space:]]$1=\"\([^\"]*\)\".*/\1/p"; }

for kind in rollback:256 commit:512; do
    grep "<CustomAction .*Execute=\"${kind%:*}\"" "$source" | attribute Id | while read -r action; do
        type=$(msiinfo export "$output" CustomAction | tr -d '\r' | awk -F'\t' -v a="$action" '$1 == a { print $2 }')
        query "UPDATE CustomAction SET Type=$((type | 1024 | ${kind#*:})) WHERE Action='$action'"
    done
done

upgrade=$(grep '<MajorUpgrade' "$source" || true)
case $(echo "$upgrade" | attribute Schedule) in
afterInstallInitialize) query "UPDATE InstallExecuteSequence SET Sequence=1501 WHERE Action='RemoveExistingProducts'" ;;
afterInstallExecute | afterInstallExecuteAgain)
    after=InstallExecute sequence=6500
    echo "$upgrade" | grep -q afterInstallExecuteAgain && after=InstallExecuteAgain sequence=6550
    query "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('$after', 'NOT Installed', $sequence)"
    query "UPDATE InstallExecuteSequence SET Sequence=$((sequence + 1)) WHERE Action='RemoveExistingProducts'"
    ;;
afterInstallFinalize) query "UPDATE InstallExecuteSequence SET Sequence=6601 WHERE Action='RemoveExistingProducts'" ;;
esac
# Attributes belongs to the Upgrade table's key: the row is written anew, with the columns it
# has (msibuild takes no NULL).
if [ "$(echo "$upgrade" | attribute AllowSameVersionUpgrades)" = yes ]; then
    row=$(msiinfo export "$output" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED"')
    columns=Attributes values=$(($(echo "$row" | cut -f5) | 512))
    for column in 1:UpgradeCode 2:VersionMin 3:VersionMax 4:Language 6:Remove 7:ActionProperty; do
        value=$(echo "$row" | cut -f"${column%:*}")
        [ -n "$value" ] && columns="$columns, ${column#*:}" values="$values, '$value'"
    done
    query "DELETE FROM Upgrade WHERE ActionProperty='WIX_UPGRADE_DETECTED'"
    query "INSERT INTO Upgrade ($columns) VALUES ($values)"
fi

if grep -q '<ProgressText ' "$source"; then
    query 'CREATE TABLE `ActionText` (`Action` CHAR(72) NOT NULL, `Description` CHAR(0) LOCALIZABLE, `Template` CHAR(0) LOCALIZABLE PRIMARY KEY `Action`)'
    sed -n 's/.*<ProgressText Action="\([^"]*\)"\( Template="\([^"]*\)"\)\{0,1\}>\([^<]*\)<.*/\1\t\4\t\3/p' "$source" |
        while IFS='	' read -r action text template; do
            query "INSERT INTO ActionText (Action, Description, Template) VALUES ('$action', '$text', '$template')"
        done
fi
