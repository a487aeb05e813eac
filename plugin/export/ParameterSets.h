// The check of a stream's parameter sets (H.264 SPS/PPS, HEVC VPS/SPS/PPS)
// before the stream is handed to libavformat.
//
// The Matroska muxer builds its codec record from the parameter sets when it
// writes a file's header, and libavformat 5.1 does so without bounding what
// a damaged set declares: an HEVC SPS with a long-term reference count of
// billions keeps avformat_write_header busy for minutes. libavcodec's own
// decoders read the same sets with every count bounded, so the sets are
// first given to the stream's decoder, which refuses a damaged one at once.
// Any thread; no state.
#ifndef PLUGIN_EXPORT_PARAMETERSETS_H_
#define PLUGIN_EXPORT_PARAMETERSETS_H_

struct AVCodecParameters;

namespace parametersets {

// False when the stream is H.264 or HEVC and its decoder refuses the
// parameter sets of its codec data; true for every other stream.
bool usable(const AVCodecParameters *parameters);

}  // namespace parametersets

#endif  // PLUGIN_EXPORT_PARAMETERSETS_H_
