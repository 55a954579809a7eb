#!/bin/sh
# The shipped binaries: debug information only in the file their debug link names (with a
# matching checksum, so a crash address still reads as a source line); signed with a
# throwaway certificate they verify and still run.
#   ReleaseOutputTest.sh SOURCE-DIR BIN-DIR OBJDUMP WINEPREFIX
set -e
source=$1 bin=$2 objdump=$3 prefix=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
for binary in MsiCA.dll MsiCATool.exe; do
    if "$objdump" -h "$bin/$binary" | grep -q '\.debug_'; then fail "$binary keeps debug sections"; fi
    "$objdump" --dwarf=links "$bin/$binary" | grep -q "Found separate debug info file: .*$binary.debug"
    "$objdump" -h "$bin/$binary.debug" | grep -q '\.debug_info'
    cp "$bin/$binary" "$work/"
done
# A crash address in the stripped DLL still reads as a source line.
address=$("${objdump%objdump}nm" "$bin/MsiCA.dll.debug" | awk '$3 == "vrxCA_StartSentrel" { print $1 }')
"${objdump%objdump}addr2line" -e "$bin/MsiCA.dll" "0x$address" | grep -q 'ServiceActions\.cpp:[0-9]'

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=MsiCA test signer" \
    -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
if "$source/tools/sign-release.sh" "$work/cert.pem" "$work/missing.pem" "$work/MsiCA.dll" 2>/dev/null; then
    fail "signed without a key"
fi
"$source/tools/sign-release.sh" "$work/cert.pem" "$work/key.pem" "$work/MsiCA.dll" "$work/MsiCATool.exe"
for binary in MsiCA.dll MsiCATool.exe; do
    osslsigncode verify -CAfile "$work/cert.pem" -in "$work/$binary" | grep -q "Signature verification: ok"
done
"$source/tools/wine-exec" "$prefix" "$work/MsiCATool.exe" help | grep -q "Usage: MsiCATool"
echo "release output: split, signed, verified"
