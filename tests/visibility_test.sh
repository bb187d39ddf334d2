#!/usr/bin/env bash
# Fails when librtsppull exports a symbol that is not a member of one of the
# exported classes (or its vtable / typeinfo), or lacks one it must export.
set -euo pipefail
classes='SDP|IRTPReceiver|CRTPReceiverImpl|CRTPReceiverOnTCP|CRTPReceiverOnUDP|CRTSPDownload|CZudezPortFounder|CRecvStreamTask'
symbols=$(nm -DC --defined-only "$1" | sed -E 's/^[0-9a-fA-F]* +[A-Za-z] +//')
status=0
stray=$(grep -Ev "^((${classes})::|(vtable|typeinfo|typeinfo name) for (${classes})$)" <<<"$symbols" || true)
if [ -n "$stray" ]; then
  echo "visibility: symbols outside the exported classes (the Base64 decoder is internal):" >&2
  echo "$stray" >&2
  status=1
fi
for required in 'SDP::fetch_sps_pps' 'CZudezPortFounder::execute' \
  'IRTPReceiver::Execute' 'CRTPReceiverOnTCP::Execute'; do
  grep -q "^${required}(" <<<"$symbols" || { echo "visibility: $required is not exported" >&2; status=1; }
done
[ "$status" -eq 0 ] && echo "visibility: $(wc -l <<<"$symbols") exported symbols, all class members"
exit "$status"
