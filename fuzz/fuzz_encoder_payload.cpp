// The launch payload of the encoder routes: parse, then every derived value
// a launch would compute from it.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "bridge/encoder/arguments.h"
#include "bridge/encoder/payload.h"

using namespace wf::bridge;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  valid_output_id(text);
  auto parsed = parse_encoder_start_request(text);
  if (!parsed) {
    return 0;
  }
  (void)input_demuxer(parsed->input_format);
  effective_fps(*parsed);
  effective_audio_bitrate(*parsed);
  for (const EncoderOutputRequest& output : parsed->outputs) {
    effective_video_bitrate(*parsed, output);
    if (output.id) {
      valid_output_id(*output.id);
    }
    if (output.resolution) {
      (void)scale_target(*output.resolution);
    }
    (void)encoder_arguments(*parsed, output);
  }
  return 0;
}
