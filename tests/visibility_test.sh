#!/usr/bin/env bash
# Fails when librtsppull exports a symbol that is not a member of one of the
# exported classes (or its vtable / typeinfo), or exports internal helpers.
set -euo pipefail
lib="$1"
classes='SDP|IRTPReceiver|CRTPReceiverImpl|CRTPReceiverOnTCP|CRTPReceiverOnUDP|CRTSPDownload|CZudezPortFounder|CRecvStreamTask'
allowed="^((${classes})::|(vtable|typeinfo|typeinfo name) for (${classes})$)"

symbols=$(nm -DC --defined-only "$lib" | sed -E 's/^[0-9a-fA-F]* +[A-Za-z] +//')
if [ -z "$symbols" ]; then
  echo "visibility: $lib exports nothing" >&2
  exit 1
fi
status=0
stray=$(grep -Ev "$allowed" <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "visibility: symbols outside the exported classes:" >&2
  echo "$stray" >&2
  status=1
fi
if grep -q 'base64' <<<"$symbols"; then
  echo "visibility: the Base64 decoder is exported" >&2
  status=1
fi
for required in 'SDP::fetch_sps_pps' 'CZudezPortFounder::execute' \
  'IRTPReceiver::Execute' 'CRTPReceiverOnTCP::Execute'; do
  if ! grep -q "^${required}(" <<<"$symbols"; then
    echo "visibility: $required is not exported" >&2
    status=1
  fi
done
[ "$status" -eq 0 ] && echo "visibility: $(wc -l <<<"$symbols") exported symbols, all class members"
exit "$status"
