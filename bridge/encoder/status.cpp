#include "bridge/encoder/status.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>

#include "bridge/core/text.h"
#include "bridge/encoder/child.h"
#include "bridge/encoder/shared_engine.h"

namespace wf::bridge {

namespace {

bool names_publishing_url(std::string_view piece) {
  std::string lower(piece);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return lower.find("rtmp://") != std::string::npos || lower.find("rtmps://") != std::string::npos;
}

Error io_error(const char* what) {
  return Error(what, Error(std::strerror(errno)));
}

}  // namespace

std::string diagnostic_tail_of(std::string_view window, uint64_t file_size) {
  const std::string text = decode_utf8_lossy(window);
  std::deque<std::string_view> kept;
  bool first = true;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find_first_of("\r\n", start);
    std::string_view piece(text.data() + start,
                           (end == std::string::npos ? text.size() : end) - start);
    // A window that starts inside the file may start inside a line.
    const bool cut = first && file_size > DIAGNOSTIC_WINDOW;
    first = false;
    if (!cut && !is_blank(piece) && !names_publishing_url(piece)) {
      kept.push_back(piece);
      if (kept.size() > DIAGNOSTIC_PIECES) {
        kept.pop_front();
      }
    }
    if (end == std::string::npos) {
      break;
    }
    start = end + 1;
  }
  std::string out;
  for (size_t i = 0; i < kept.size(); ++i) {
    if (i > 0) {
      out += '\n';
    }
    out += kept[i];
  }
  return out;
}

Result<std::string> encoder_diagnostic_tail(const std::string& log_path) {
  UniqueFd fd(::open(log_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    return io_error("cannot open the encoder log");
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    return io_error("cannot measure the encoder log");
  }
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  const uint64_t from = size > DIAGNOSTIC_WINDOW ? size - DIAGNOSTIC_WINDOW : 0;
  std::string window(DIAGNOSTIC_WINDOW, '\0');
  size_t got = 0;
  // The child may still be writing: read what is there up to the window.
  while (got < window.size()) {
    ssize_t n =
        ::pread(fd.get(), window.data() + got, window.size() - got, static_cast<off_t>(from + got));
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0) {
      return io_error("cannot read the encoder log");
    }
    if (n == 0) {
      break;
    }
    got += static_cast<size_t>(n);
  }
  window.resize(got);
  return diagnostic_tail_of(window, size);
}

nlohmann::ordered_json encoder_status(EncoderList& encoders) {
  using nlohmann::ordered_json;
  ordered_json outputs = ordered_json::array();
  for (EncoderProcess& p : encoders.processes()) {
    if (p.shared) {
      ordered_json o;
      encoders.shared().describe(*p.shared, o);
      outputs.push_back(std::move(o));
      continue;
    }
    const std::optional<ChildExit> exit = p.child ? p.child->try_wait() : std::nullopt;
    auto tail = encoder_diagnostic_tail(p.log_path);
    ordered_json o;
    o["bytesReceived"] = p.bytes_received();
    o["diagnostic"] = tail ? tail.value() : std::string();
    o["exitCode"] = exit && exit->code ? ordered_json(*exit->code) : ordered_json(nullptr);
    o["id"] = p.id;
    o["name"] = p.name;
    o["processId"] = p.child ? static_cast<uint64_t>(p.child->pid()) : 0;
    o["running"] = !exit.has_value();
    outputs.push_back(std::move(o));
  }
  return ordered_json{{"ok", true}, {"outputs", std::move(outputs)}};
}

}  // namespace wf::bridge
