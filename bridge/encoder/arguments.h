#pragma once

#include <string>
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

}  // namespace wf::bridge
