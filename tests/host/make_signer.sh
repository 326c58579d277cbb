#!/bin/bash
# Makes a throwaway self-signed code-signing certificate for the signing tests:
# <dir>/signer.p12 (key and certificate), <dir>/password.txt (its password)
# and <dir>/signer.pem (the certificate, for verifying).
set -euo pipefail
dir=$1
mkdir -p "$dir"
echo "throwaway test password $$" > "$dir/password.txt"
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=Orbel throwaway test signer" \
    -addext "extendedKeyUsage=codeSigning" \
    -keyout "$dir/signer.key" -out "$dir/signer.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$dir/signer.key" -in "$dir/signer.pem" -out "$dir/signer.p12" \
    -passout "file:$dir/password.txt"
rm -f "$dir/signer.key"
