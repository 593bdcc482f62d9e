// What Python cannot reach: key and value sets made by C++ callers with no rows at all
// (Python always hands at least one offset) meet the same length rule.
#include <gtest/gtest.h>

#include "hdc/errors.hpp"
#include "quantum_heads/attention_head.hpp"

TEST(AttentionHead, EmptyPackedRowsMeetTheLengthRule) {
  const mhdc::quantum_heads::QuantumAttentionHead head(4, 1);
  const float q[] = {1.0f, 1.0f, 1.0f, 1.0f};
  EXPECT_THROW(head.compute(mhdc::HvView(q, 4), mhdc::hdc::PackedRows{}, mhdc::hdc::PackedRows{}),
               mhdc::value_error);
}
