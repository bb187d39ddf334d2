// Umbrella header: everything a host of the rtsppull library needs.
#ifndef RTSPPULL_RTSPPULL_H_
#define RTSPPULL_RTSPPULL_H_

#include <rtsppull/export.h>
#include <rtsppull/port_founder.h>
#include <rtsppull/recv_stream_task.h>
#include <rtsppull/rtp_receiver.h>
#include <rtsppull/rtp_receiver_ordered.h>
#include <rtsppull/rtp_receiver_udp.h>
#include <rtsppull/rtsp_download.h>
#include <rtsppull/sdp.h>
#include <rtsppull/session_options.h>
#include <rtsppull/session_stats.h>
#include <rtsppull/tracks.h>
#include <rtsppull/version.h>

#endif  // RTSPPULL_RTSPPULL_H_
