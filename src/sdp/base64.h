// Base64 decoding for the H.264 parameter sets of an SDP record.
//
// Internal to the library: the symbol is hidden and not part of the ABI.
#ifndef RTSPPULL_SDP_BASE64_H_
#define RTSPPULL_SDP_BASE64_H_

#include <cstdint>

// Decodes the NUL-terminated Base64 `text` in whole groups of four
// characters; one to three characters left over at the end are ignored.
// Never rejects input: a character outside the standard alphabet
// (white space, CR, LF, ',', '-', '_', bytes from 0x80 up, ...) counts as six
// zero bits, and '=' counts as zero bits too, so padding yields zero bytes.
// With `trim` non-zero every trailing zero byte is dropped, data and padding
// alike.
//
// Stores the number of decoded bytes in *outLength and returns a new[]-array
// of exactly that many bytes (zero-length when there are none), which the
// caller releases with delete[]. Safe to call from several threads at once.
unsigned char* base64_decode(const char* text, std::int32_t* outLength, int trim);

#endif  // RTSPPULL_SDP_BASE64_H_
