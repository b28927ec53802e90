// Fixture of the engine tests: every test starts from a freshly loaded
// library whose three formula tables are sized and linked, and ends with
// deletedll, so that the sanitizer build's leak check sees everything given
// back even when a test stopped half-way through an injected failure.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "alloc.h"
#include "quibex.h"

template <int32_t RealRows, int32_t OtherRows = RealRows>
class FreshLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    deletedll();
    ASSERT_EQ(setfornum(RealRows), 1);
    ASSERT_EQ(Csetfornum(OtherRows), 1);
    ASSERT_EQ(Isetfornum(OtherRows), 1);
    userci();
  }
  void TearDown() override {
    qx::testing::failAllocationAfter(-1);
    deletedll();
  }
};

// Doubles compared bit for bit (tells -0 from 0 and NaN payloads apart).
inline bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
