// A StateWriter with its own buffer, which only C++ callers use (__reduce__ has
// it write into the bytes object): grown several times over, take() gives
// exactly the bytes written, little-endian, and they read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "hdc/state.hpp"

using namespace mhdc::hdc;

TEST(StateWriter, OwnBufferGivesExactlyWhatWasWritten) {
  std::vector<float> v(1000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<float>(i) * 0.5f - 7.0f;
  StateWriter w("T", 3);
  w.u32(0x01020304u);
  w.floats(v);
  w.str("\xC3\xA9");
  w.u64(0x1122334455667788u);
  const std::string s = w.take();

  ASSERT_EQ(s.size(), 10 + 4 + 8 + 4 * v.size() + 8 + 2 + 8);
  EXPECT_EQ(s.substr(0, 10), std::string("MHDC\x01T\x03\0\0\0", 10));
  EXPECT_EQ(s.substr(10, 4), "\x04\x03\x02\x01");
  EXPECT_EQ(s.substr(s.size() - 8), "\x88\x77\x66\x55\x44\x33\x22\x11");
  StateReader r(s, "T", 3);
  EXPECT_EQ(r.u32("a"), 0x01020304u);
  EXPECT_EQ(r.floats("b"), v);
  EXPECT_EQ(r.text("c"), "\xC3\xA9");
  EXPECT_EQ(r.u64("d"), 0x1122334455667788u);
  r.finish();
}
