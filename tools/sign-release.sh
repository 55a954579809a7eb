#!/bin/sh
# Signs Windows binaries in place with Authenticode through osslsigncode:
#   tools/sign-release.sh CERT KEY FILE...
# CERT is a PEM or DER certificate (with its chain), KEY its private key; a PKCS#12 file
# (.pfx, .p12) holds both, KEY is then empty. MSICA_SIGN_PASSFILE names a file holding the
# key's password; MSICA_SIGN_TIMESTAMP an RFC 3161 time-stamp server, so that the
# signature stays valid after the certificate expires.
set -e
if [ $# -lt 3 ]; then
    echo "usage: $0 CERT KEY FILE..." >&2
    exit 2
fi
cert=$1
key=$2
shift 2
pass=${MSICA_SIGN_PASSFILE:-}
stamp=${MSICA_SIGN_TIMESTAMP:-}
for file in "$@"; do
    signed="$file.signing"
    rm -f "$signed"
    case "$cert" in
    *.pfx | *.p12)
        osslsigncode sign -pkcs12 "$cert" ${pass:+-readpass "$pass"} ${stamp:+-ts "$stamp"} \
            -h sha256 -n MsiCA -in "$file" -out "$signed" >/dev/null ;;
    *)
        osslsigncode sign -certs "$cert" -key "$key" ${pass:+-readpass "$pass"} ${stamp:+-ts "$stamp"} \
            -h sha256 -n MsiCA -in "$file" -out "$signed" >/dev/null ;;
    esac
    chmod --reference="$file" "$signed"
    mv -f "$signed" "$file"
    echo "Signed $file"
done
