#!/bin/sh
# The test build of a package (packaging/wixl-build.sh's output): what Wine 8's msiexec needs
# to run it as Windows would, and the test-only actions. The shipped package has none of this.
# test-package.sh PACKAGE.msi [--wine] [--points EXE] [--fail] [--product-code GUID] (in place)
#   --wine               the Wine pieces below
#   --points EXE         crash points: with CRASHPOINT=NAME on the command line, EXE marks the
#                        point NAME as reached (C:\e2e-point.NAME) and waits there until killed
#   --fail               EXE fails the installation after the data and driver actions
#   --product-code GUID  this product code instead of the build's own (a minor upgrade)
set -eu
package=$1 && shift
query() { msibuild "$package" -q "$1"; }
action() { # NAME TYPE SOURCE TARGET CONDITION SEQUENCE
    query "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('$1', $2, '$3', '$4')"
    query "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('$1', '$5', $6)"
}
sequence() { msiinfo export "$package" InstallExecuteSequence | tr -d '\r' | awk -F'\t' -v a="$1" '$1 == a { print $3 }'; }
setup='SOFTWARE\Arvetta\Management\Sentrel\Setup'
exe=''
while [ $# -gt 0 ]; do
    case $1 in
    --wine)
        # Wine removes the old product of a major upgrade in an msiexec of its own, without
        # UPGRADINGPRODUCTCODE: the old product sets it itself where the product code that
        # the installation registered last is not its own.
        query "INSERT INTO Registry (Registry, Root, \`Key\`, Name, Value, Component_) VALUES ('WineProductCode', 2, '$setup', 'ProductCode', '[ProductCode]', 'ProductLocations')"
        query "INSERT INTO RegLocator (Signature_, Root, \`Key\`, Name, Type) VALUES ('WineProductCode', 2, '$setup', 'ProductCode', 18)"
        query "INSERT INTO AppSearch (Property, Signature_) VALUES ('REGISTEREDPRODUCTCODE', 'WineProductCode')"
        action WineUpgradingProductCode 51 UPGRADINGPRODUCTCODE '[REGISTEREDPRODUCTCODE]' \
            'REMOVE~="ALL" AND REGISTEREDPRODUCTCODE AND REGISTEREDPRODUCTCODE<>ProductCode' 60
        # Wine's removal of the old product deletes the upgrade code's registration: the old
        # product goes before RegisterProduct and PublishProduct write it anew.
        query "UPDATE InstallExecuteSequence SET Sequence=5950 WHERE Action='InstallExecute'"
        query "UPDATE InstallExecuteSequence SET Sequence=5960 WHERE Action='RemoveExistingProducts'"
        # Wine lets deferred actions read every property: RUNMODE emptied once every condition
        # has read it, they take it from CustomActionData as on Windows.
        action WineClearRunMode 51 RUNMODE '{}' '' 5940
        ;;
    --points)
        exe="\"Z:$(echo "$2" | tr / '\\')\"" && shift
        # Type 34 (a program in a folder), deferred without impersonation; 512: a commit action.
        for point in after-stop:1510 after-backup:1520 after-files:4000 after-restore:5010 \
            after-convert:5020 after-driver-removal:5090 after-driver-install:5130 \
            after-old-removal:"$(sequence RemoveExistingProducts)" before-start:6518; do
            action "Point_${point%:*}" 3106 TARGETDIR "$exe ${point%:*}" "CRASHPOINT=\"${point%:*}\"" \
                $((${point#*:} + 1))
        done
        action Point_after-cleanup 3618 TARGETDIR "$exe after-cleanup" 'CRASHPOINT="after-cleanup"' 5031
        ;;
    --fail) action FailAfterDataAndDrivers 3106 TARGETDIR "$exe fail" 'NOT Installed' 5140 ;;
    --product-code) query "UPDATE Property SET Value='$2' WHERE Property='ProductCode'" && shift ;;
    esac
    shift
done
