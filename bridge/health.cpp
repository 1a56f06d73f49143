#include "bridge/health.h"

#include <optional>
#include <string>

#include "bridge/encoder/ffmpeg.h"
#include "bridge/http/reply.h"

namespace wf::bridge {

namespace {

const char* const ENCODER_ERROR =
    "The bundled media encoder could not start. Repair the Wrenfield Desktop installation and "
    "retry.";

}  // namespace

Status handle_health(RequestPtr request, RouteContext& context) {
  // Only the copy is made under the lock: the capture callback takes it for
  // every buffer, and neither the first probe of the encoder program nor a
  // slow client may hold the audio thread up.
  auto state = context.state->snapshot();
  if (!state) {
    return state.error();
  }
  const bool ready = context.encoder_ready ? context.encoder_ready() : ffmpeg_ready();
  nlohmann::ordered_json body;
  body["dynamicOutputs"] = true;
  body["outputProfiles"] = true;
  body["inputContainers"] = nlohmann::ordered_json::array({"webm", "mp4"});
  body["ok"] = true;
  body["encoderVersion"] = "0.3.1";
  body["encoderReady"] = ready;
  body["encoderError"] = ready ? nlohmann::ordered_json(nullptr) : ENCODER_ERROR;
  body["running"] = state->running;
  body["sampleRate"] = state->sample_rate;
  body["inputChannels"] = state->channels;
  body["activeDeviceId"] = state->active_device_id
                               ? nlohmann::ordered_json(*state->active_device_id)
                               : nlohmann::ordered_json(nullptr);
  return send_json(std::move(request), 200, body);
}

}  // namespace wf::bridge
