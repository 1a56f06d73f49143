#include "hosting/uid.h"

#include <gtest/gtest.h>

namespace wf::hosting {
namespace {

TEST(UidToString, WritesTheBytesInStoredOrderAsUpperCaseHex) {
  const Steinberg::TUID uid = {0x01,
                               0x23,
                               0x45,
                               0x67,
                               static_cast<char>(0x89),
                               static_cast<char>(0xAB),
                               static_cast<char>(0xCD),
                               static_cast<char>(0xEF),
                               0x00,
                               0x10,
                               0x20,
                               0x30,
                               0x40,
                               0x50,
                               0x60,
                               0x7F};
  EXPECT_EQ(
      "0123456789ABCDEF00102030405060"
      "7F",
      uidToString(uid));
}

}  // namespace
}  // namespace wf::hosting
