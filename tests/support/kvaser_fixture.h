// The Kvaser back-end's tests: each starts on the fake CANlib, reset and following this process's
// virtual clock, with the unit's identifiers accepted, and records the log.
#pragma once

#include <gtest/gtest.h>

#include "can/channel.h"
#include "can/kvaser/kvaser.h"
#include "protocol/identifiers.h"
#include "support/can_support.h"

class KvaserFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    can_reset();
    kvaser_test_reset(fake_canlib::library().names());
    fake_canlib::reset();
    fake_canlib::set_clock(&kForwardClock);
    // The unit's identifiers, as every operation on the unit accepts them.
    can_accept_id(UNIT_ANSWER_ID);
    can_accept_id(UNIT_DATA_ID);
  }
  void TearDown() override {
    can_reset();
    kvaser_test_reset(nullptr);
    fake_canlib::set_clock(nullptr);
  }
  VirtualClock clock_;
  RecordedLog log_;
};
