#pragma once

#include <optional>
#include <string_view>

#include "bridge/encoder/encoder_process.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// Writes one chunk of the program feed, whole and unchanged, into the input
/// of every output, or of the outputs whose ID equals `target` when one is
/// given, blocking while a pipe is full, and counts it for each output whose
/// write completed. Outputs whose write failed are then removed (highest
/// position first, each replaced by the list's last output), killed and
/// reaped. Fails with "Destination is not running" for a target that is
/// invalid or names no output, "encoder is not running" for an empty list,
/// and "all encoder outputs stopped" when the target's write failed or no
/// output is left.
Status write_encoder_chunk_target(EncoderList& encoders, std::string_view chunk,
                                  std::optional<std::string_view> target);

}  // namespace wf::bridge
