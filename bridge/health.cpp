#include "bridge/health.h"

#include "bridge/encoder/ffmpeg.h"
#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

const char* const ENCODER_ERROR =
    "The bundled media encoder could not start. Repair the Wrenfield Desktop installation and "
    "retry.";

}  // namespace

Status handle_health(RequestPtr request, RouteContext& context) {
  auto guard = context.state->lock();
  if (!guard) {
    return guard.error();
  }
  BridgeState& s = **guard;
  const bool ready = ffmpeg_ready();
  nlohmann::ordered_json body;
  body["dynamicOutputs"] = true;
  body["outputProfiles"] = true;
  body["inputContainers"] = nlohmann::ordered_json::array({"webm", "mp4"});
  body["ok"] = true;
  body["encoderVersion"] = "0.3.1";
  body["encoderReady"] = ready;
  body["encoderError"] = ready ? nlohmann::ordered_json(nullptr) : ENCODER_ERROR;
  body["running"] = s.running;
  body["sampleRate"] = s.sample_rate;
  body["inputChannels"] = s.channels;
  body["activeDeviceId"] = s.active_device_id ? nlohmann::ordered_json(*s.active_device_id)
                                              : nlohmann::ordered_json(nullptr);
  // The lock is held until the reply is written.
  return send_json(std::move(request), 200, body);
}

}  // namespace wf::bridge
