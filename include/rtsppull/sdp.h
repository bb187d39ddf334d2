// The session description record.
//
// A CRTSPDownload fills one of these from the body of its DESCRIBE reply and
// hands the host a pointer to it together with the stream file header. The
// host may copy it freely; it owns nothing but its own members.
#ifndef RTSPPULL_SDP_H_
#define RTSPPULL_SDP_H_

#include <list>
#include <string>

#include <rtsppull/export.h>

class RTSPPULL_API SDP {
 public:
  // Capacity of file_header in bytes.
  static const unsigned int kFileHeaderCapacity = 8192;

  SDP();
  SDP(const SDP& other);
  SDP& operator=(const SDP& other);
  ~SDP();

  // Finds the first line holding "sprop-parameter-sets", splits its value at
  // the first comma and replaces `sps` and `pps` with the Base64-decoded raw
  // bytes (no start codes). Returns 0 on success; -1 when no line carries the
  // tag, when its value has no comma, or when nothing follows the comma on a
  // line without a closing CR LF. On -1 `pps` is untouched (and `sps` too,
  // except in the last case, where it holds the undecoded first text).
  // Reads `lines` only; no lock is taken.
  int fetch_sps_pps(std::string& sps, std::string& pps);

  // The H.265 parameter sets of the video stream: the values of sprop-vps,
  // sprop-sps and sprop-pps on the a=fmtp line of the first video media
  // description, each standard Base64 decoded (raw bytes, no start codes);
  // when a parameter holds a comma-separated list, its first set. Returns 0
  // with all three replaced; -1, leaving all three untouched, when any of
  // them is missing, empty or not valid Base64. Reads `lines` only.
  int fetch_vps_sps_pps(std::string& vps, std::string& sps, std::string& pps);

  // The encoding name of the video stream's a=rtpmap line ("H264", "H265",
  // ...), in upper case: the line for the first payload format of the first
  // "m=video" description, or that description's first a=rtpmap line when
  // none matches. Empty when there is no such line. Reads `lines` only.
  std::string video_codec();

  // The description's lines in order, each ending with "\r\n".
  std::list<std::string> lines;
  // Raw bytes of the stream file header (the hex value of "config="); only
  // the first file_header_len bytes are meaningful.
  char file_header[kFileHeaderCapacity];
  // Number of valid bytes in file_header, 0 to 8192.
  unsigned int file_header_len;
  // The DESCRIBE body as received, padded with NULs to 8192 characters once a
  // body has been stored; empty before.
  std::string text;
};

#endif  // RTSPPULL_SDP_H_
