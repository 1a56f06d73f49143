#include "audio-capture/listing/json_line.h"

namespace wf::capture {

void json(const nlohmann::json& value, std::ostream& out) {
  out << value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
  out.flush();
}

}  // namespace wf::capture
