#!/usr/bin/env bash
# Makes the test gateway's certificate: RSA 2048, SHA-256, self-signed
# (Debian's OpenSSL refuses weaker ones). Writes cert.pem and key.pem into
# the given folder and prints the SHA-1 fingerprint.
#   scripts/make-test-cert.sh FOLDER [COMMON-NAME]
set -euo pipefail
if [ $# -lt 1 ]; then
  echo "usage: $0 FOLDER [COMMON-NAME]" >&2
  exit 2
fi
dir=$1
cn=${2:-tlx-test-gateway}
mkdir -p "$dir"
openssl req -x509 -newkey rsa:2048 -sha256 -nodes -days 3650 \
  -subj "/CN=$cn" -keyout "$dir/key.pem" -out "$dir/cert.pem" 2>/dev/null
chmod 600 "$dir/key.pem"
openssl x509 -in "$dir/cert.pem" -noout -fingerprint -sha1
