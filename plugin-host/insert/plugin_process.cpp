#include <algorithm>
#include <cmath>

#include "insert/plugin.h"

namespace wf::host {

using nlohmann::json;
using namespace Steinberg;
using namespace Steinberg::Vst;

void Plugin::process(std::vector<float>& samples, const json& blockEvents, double tempo,
                     double beat, bool playing) {
  std::lock_guard<std::recursive_mutex> hold(lock);
  if (handler.restartRequested.load() || (twin && twin->handler.restartRequested.load())) {
    throw PluginError("Plugin layout or latency changed; reload the insert");
  }
  const auto frames = static_cast<int32>(std::min(samples.size() / 2, size_t{MAX_FRAMES}));
  // A latency adopted on the main thread since the last block: this is the
  // first block that runs with it.
  tookNewLatency = latencyAdopted.exchange(false);

  processContext.tempo = tempo;
  processContext.projectTimeMusic = beat;
  processContext.state = BLOCK_CONTEXT_FLAGS | (playing ? ProcessContext::kPlaying : 0);
  events.clear();

  if (instrument) {
    addBlockEvents(blockEvents, midiMap, events, handler.inputChanges);
  }

  // `dry` has room for the largest block since load, so this copies without
  // allocating.
  if (instrument) {
    dry.assign(samples.size(), 0.0f);
  } else {
    dry.assign(samples.begin(), samples.end());
  }
  if (!dryDelay.run(dry, processor->getLatencySamples()) && !delayNeedsRoom.exchange(true) &&
      handler.wake) {
    // The line grows off the audio worker; until then it delays by the room
    // it has.
    handler.wake();
  }

  ProcessData& data = processData.data();
  data.numSamples = frames;
  fillInputs(samples, frames, 0);
  clearOutputs(frames);
  outputChanges.clearQueue();
  outputEvents.clear();

  if (processor->process(data) != kResultOk) {
    throw PluginError("Processing failed");
  }
  if (twin) {
    processTwin(samples, frames);
  }
  handler.inputChanges.clearQueue();
  events.clear();
  postOutputParameters();
  outputEvents.clear();

  const AudioBusBuffers& out = data.outputs[0];
  float* const rightOut =
      twin ? twin->processData.data().outputs[0].channelBuffers32[0] : out.channelBuffers32[1];
  for (int32 k = 0; k < frames; ++k) {
    const float left = out.channelBuffers32[0][k];
    const float right = rightOut[k];
    if (!std::isfinite(left) || !std::isfinite(right)) {
      throw PluginError("Invalid plugin audio");
    }
    samples[2 * k] = left;
    samples[2 * k + 1] = right;
  }
  if (bypass.load()) {
    std::copy(dry.begin(), dry.end(), samples.begin());
  }
  processContext.projectTimeSamples += frames;
  processContext.continousTimeSamples += frames;
}

void Plugin::postOutputParameters() {
  for (int32 i = 0; i < outputChanges.getParameterCount(); ++i) {
    IParamValueQueue* queue = outputChanges.getParameterData(i);
    int32 offset = 0;
    ParamValue value = 0;
    if (queue != nullptr && queue->getPointCount() > 0 &&
        queue->getPoint(queue->getPointCount() - 1, offset, value) == kResultOk) {
      outputMailbox.post(queue->getParameterId(), value);
    }
  }
}

void Plugin::processTwin(const std::vector<float>& samples, int32 frames) {
  // The twin reads the primary's input changes and events (set at load); the
  // primary clears them once both have run.
  ProcessData& data = twin->processData.data();
  data.numSamples = frames;
  twin->processContext = processContext;
  twin->fillInputs(samples, frames, 1);
  twin->clearOutputs(frames);
  twin->outputChanges.clearQueue();
  twin->outputEvents.clear();
  if (twin->processor->process(data) != kResultOk) {
    throw PluginError("Processing failed");
  }
  // The primary's controller shows the insert's meters; the twin's output
  // values and events are dropped.
  twin->outputChanges.clearQueue();
  twin->outputEvents.clear();
}

void Plugin::fillInputs(const std::vector<float>& samples, int32 frames, int32 first) {
  const int32 width = mono ? 1 : 2;
  ProcessData& data = processData.data();
  for (int32 b = 0; b < data.numInputs; ++b) {
    AudioBusBuffers& bus = data.inputs[b];
    bus.silenceFlags = 0;
    for (int32 c = 0; c < bus.numChannels; ++c) {
      float* channel = bus.channelBuffers32[c];
      // The block is stereo: a first bus's channels beyond its width (two,
      // or one for each instance of a dual-mono insert) get silence, as do
      // all channels of other buses.
      if (b == 0 && c < width) {
        for (int32 k = 0; k < frames; ++k) {
          channel[k] = samples[2 * k + first + c];
        }
      } else {
        std::fill(channel, channel + frames, 0.0f);
      }
    }
  }
}

void Plugin::clearOutputs(int32 frames) {
  ProcessData& data = processData.data();
  for (int32 b = 0; b < data.numOutputs; ++b) {
    AudioBusBuffers& bus = data.outputs[b];
    bus.silenceFlags = 0;
    for (int32 c = 0; c < bus.numChannels; ++c) {
      std::fill(bus.channelBuffers32[c], bus.channelBuffers32[c] + frames, 0.0f);
    }
  }
}

}  // namespace wf::host
