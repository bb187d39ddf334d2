#!/usr/bin/env bash
# Fails when librtsppull exports a symbol outside the exported classes (or
# their vtables / typeinfo), or lacks one it must export.
set -euo pipefail
classes='SDP|IRTPReceiver|CRTPReceiverImpl|CRTPReceiverOnTCP|CRTPReceiverOnUDP|CRTPReceiverOrdered|CRTSPDownload|CZudezPortFounder|CRecvStreamTask|RTSPSessionOptions|SDPMedia|IRTPTrackReceiver'
symbols=$(nm -DC --defined-only "$1" | sed -E 's/^[0-9a-fA-F]* +[A-Za-z] +//')
if grep -Ev "^((${classes})::|(vtable|typeinfo|typeinfo name) for (${classes})$)" <<<"$symbols"; then
  echo "visibility: the symbols above are outside the exported classes" >&2
  exit 1
fi
for required in SDP::fetch_sps_pps SDP::fetch_vps_sps_pps SDP::video_codec CZudezPortFounder::execute IRTPReceiver::Execute \
  CRTPReceiverOrdered::counters \
  RTSPSessionOptions::recommended CRTSPDownload::setOptions CRTSPDownload::lastFailure; do
  grep -Eq "^${required}(\[abi:[a-z0-9]+\])?\(" <<<"$symbols" || { echo "visibility: $required not exported" >&2; exit 1; }
done
echo "visibility: $(wc -l <<<"$symbols") exported symbols, all class members"
