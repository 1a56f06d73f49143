#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bridge/http/error.h"

namespace wf::bridge {

/// One RTMP destination of a launch payload. Absent optional members are
/// empty; JSON null counts as absent.
struct EncoderOutputRequest {
  std::optional<std::string> id;
  std::optional<std::string> name;
  std::string rtmp_url;  // untrimmed, as sent
  std::optional<std::string> resolution;
  std::optional<uint32_t> video_bitrate;  // kbit/s, unclamped
};

/// The launch payload of /encoder/start and /encoder/output/start: the
/// settings shared by its destinations, and the destinations in order.
/// Integer members hold the values as sent; the effective_* functions apply
/// defaults and clamps.
struct EncoderStartRequest {
  std::vector<EncoderOutputRequest> outputs;
  std::optional<std::string> input_format;
  bool has_audio = false;
  std::optional<uint32_t> fps;
  std::optional<uint32_t> video_bitrate;
  std::optional<uint32_t> audio_bitrate;
  /// "sharedEncoding": true asks for one encoding child per distinct
  /// rendition, whose output is copied to every destination of that
  /// rendition by its own publishing child. Absent, null or false keep one
  /// encoding child per destination.
  bool shared_encoding = false;
};

/// Parses a launch payload from JSON text. Fails when the text is not a JSON
/// object, "outputs" or a destination's "rtmpUrl" is missing, a member has
/// the wrong type (integers must be written as non-negative integers that
/// fit in 32 bits), or a member of the payload or of a destination is given
/// twice. Members the payload does not define are ignored.
Result<EncoderStartRequest> parse_encoder_start_request(std::string_view text);

/// Destination ID rule: 1 to 120 bytes, each an ASCII letter, digit, '-' or
/// '_'.
bool valid_output_id(std::string_view id);

/// ID of a destination sent without "id": "legacy-output-<index>".
std::string legacy_output_id(size_t index);
/// Name of a destination sent without "name": "Output <index + 1>".
std::string default_output_name(size_t index);

/// The ID and name a destination runs under.
struct OutputIdentity {
  std::string id;
  std::string name;
};

/// Destination `index`'s own ID and name, or the defaults for its place.
/// Fails with "Invalid or duplicate destination ID" when the ID breaks the
/// rule or is in `taken` already; otherwise adds it there.
Result<OutputIdentity> output_identity(const EncoderOutputRequest& output, size_t index,
                                       std::set<std::string>& taken);

/// Demuxer for the program feed's container: absent or "webm" gives "webm",
/// "mp4" gives "mov"; anything else fails with "Unsupported program input
/// format".
Result<std::string> input_demuxer(const std::optional<std::string>& input_format);

/// Scale target of a resolution profile ("720p" gives "1280:720", "1080p",
/// "1440p", "4k"); anything else fails with "Unsupported destination
/// resolution".
Result<std::string> scale_target(std::string_view resolution);

/// Frame rate: "fps" clamped to 24..60, or 30.
uint32_t effective_fps(const EncoderStartRequest& request);
/// Video bit rate in kbit/s: the destination's own, else the payload's, else
/// 4500; clamped to 800..30000.
uint32_t effective_video_bitrate(const EncoderStartRequest& request,
                                 const EncoderOutputRequest& output);
/// AAC bit rate in kbit/s: "audioBitrate" clamped to 64..320, or 160.
uint32_t effective_audio_bitrate(const EncoderStartRequest& request);

}  // namespace wf::bridge
