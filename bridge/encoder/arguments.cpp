#include "bridge/encoder/arguments.h"

#include "bridge/core/text.h"

namespace wf::bridge {

namespace {

// The arguments that read the feed and encode one rendition, up to and
// including the audio sample rate; both modes share them.
Result<std::vector<std::string>> rendition_arguments(const EncoderStartRequest& request,
                                                     const EncoderOutputRequest& output) {
  auto demuxer = input_demuxer(request.input_format);
  if (!demuxer) {
    return demuxer.error();
  }
  std::optional<std::string> scale;
  if (output.resolution) {
    auto target = scale_target(*output.resolution);
    if (!target) {
      return target.error();
    }
    scale = "scale=" + *target;
  }
  const uint32_t f = effective_fps(request);
  const uint32_t v = effective_video_bitrate(request, output);
  const uint32_t a = effective_audio_bitrate(request);
  auto k = [](uint32_t n) { return std::to_string(n) + "k"; };

  std::vector<std::string> args = {"-hide_banner", "-loglevel", "info", "-fflags", "+genpts",
                                   "-f",           *demuxer,    "-i",   "pipe:0"};
  if (!request.has_audio) {
    // Every published stream carries audio. The silent source never ends, so
    // "-shortest" lets the child finish with the feed's video when its input
    // closes.
    args.insert(args.end(), {"-f", "lavfi", "-i", "anullsrc=r=48000:cl=stereo", "-map", "0:v:0",
                             "-map", "1:a:0", "-shortest"});
  }
  if (scale) {
    args.insert(args.end(), {"-vf", *scale});
  }
  args.insert(args.end(), {"-c:v",      "libx264",     "-preset",  "veryfast",
                           "-tune",     "zerolatency", "-r",       std::to_string(f),
                           "-fps_mode", "cfr",         "-pix_fmt", "yuv420p",
                           "-b:v",      k(v),          "-maxrate", k(v),
                           "-bufsize",  k(2 * v),      "-g",       std::to_string(2 * f),
                           "-c:a",      "aac",         "-b:a",     k(a),
                           "-ar",       "48000"});
  return args;
}

}  // namespace

Result<std::vector<std::string>> encoder_arguments(const EncoderStartRequest& request,
                                                   const EncoderOutputRequest& output) {
  auto args = rendition_arguments(request, output);
  if (args) {
    args->insert(args->end(), {"-f", "flv", "-rw_timeout", "5000000",
                               std::string(trim_whitespace(output.rtmp_url))});
  }
  return args;
}

Result<std::vector<std::string>> encoding_arguments(const EncoderStartRequest& request,
                                                    const EncoderOutputRequest& output) {
  auto args = rendition_arguments(request, output);
  if (args) {
    // Packets are flushed one by one: the pipe is read live, and a buffered
    // muxer would hold back up to 32 KiB of stream.
    args->insert(args->end(), {"-progress", "pipe:" + std::to_string(PROGRESS_FD), "-stats_period",
                               "0.5", "-flush_packets", "1", "-f", "flv", "pipe:1"});
  }
  return args;
}

std::vector<std::string> publishing_arguments(std::string_view rtmp_url) {
  return {"-hide_banner", "-loglevel",
          "info",         "-f",
          "flv",          "-i",
          "pipe:0",       "-c",
          "copy",         "-rw_timeout",
          "5000000",      "-f",
          "flv",          std::string(trim_whitespace(rtmp_url))};
}

}  // namespace wf::bridge
