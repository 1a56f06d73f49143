#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "bridge/encoder/payload.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// The encoder's arguments (without the program name) for one destination:
/// read the feed from standard input with the payload's demuxer, add a silent
/// stereo track when the feed has no audio (ending with the video through
/// "-shortest"), scale to the destination's profile, encode H.264 and AAC at
/// the effective settings, and publish FLV to the trimmed "rtmpUrl", which
/// comes last. Fails when the input format or the resolution is not in its
/// table.
Result<std::vector<std::string>> encoder_arguments(const EncoderStartRequest& request,
                                                   const EncoderOutputRequest& output);

/// The descriptor on which an encoding child of shared mode writes its
/// progress reports.
inline constexpr int PROGRESS_FD = 3;

/// The arguments of a shared rendition's encoding child: the same vector up
/// to and including "-ar" "48000", then progress reports every 0.5 s on
/// descriptor PROGRESS_FD and FLV on standard output. Equal vectors mean
/// equal renditions. Fails like `encoder_arguments`.
Result<std::vector<std::string>> encoding_arguments(const EncoderStartRequest& request,
                                                    const EncoderOutputRequest& output);

/// The arguments of a publishing child: copies the FLV on its standard input,
/// without coding, to the trimmed `rtmp_url`, which comes last.
std::vector<std::string> publishing_arguments(std::string_view rtmp_url);

}  // namespace wf::bridge
