#include "hosting/uid.h"

namespace wf::hosting {

std::string uidToString(const Steinberg::TUID uid) {
  static constexpr char DIGITS[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(32);
  for (int i = 0; i < 16; ++i) {
    const auto byte = static_cast<unsigned char>(uid[i]);
    text.push_back(DIGITS[byte >> 4]);
    text.push_back(DIGITS[byte & 0x0F]);
  }
  return text;
}

}  // namespace wf::hosting
