#pragma once

#include <optional>
#include <string_view>

#include "bridge/encoder/encoder_process.h"
#include "bridge/encoder/feed_backlog.h"
#include "bridge/http/error.h"

namespace wf::bridge {

/// Hands one chunk of the program feed, whole and unchanged, to the writer
/// of every output, or of the outputs whose ID equals `target` when one is
/// given; every writer shares the one chunk and none is waited for. A
/// selected output whose writer has failed (a write failed, its reader is
/// gone, or its backlog passed BACKLOG_LIMIT or stalled for BACKLOG_STALL)
/// is then removed (highest position first, each replaced by the list's last
/// output), killed and reaped. Fails with "Destination is not running" for a
/// target that is invalid or names no output, "encoder is not running" for
/// an empty list, and "all encoder outputs stopped" when the target failed
/// or no output is left.
Status write_encoder_chunk_target(EncoderList& encoders, const SharedChunk& chunk,
                                  std::optional<std::string_view> target);

}  // namespace wf::bridge
