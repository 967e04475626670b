// A conversation with the control service: each line sent in turn, each reply checked.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "daemon/control_service.h"

namespace halvex {

struct Exchange {
  std::string line;
  std::string reply;
};

// A mismatch is reported with the line that got it, and the conversation goes on.
inline void ExpectConversation(ControlService& service, std::initializer_list<Exchange> exchanges) {
  for (const Exchange& exchange : exchanges) {
    EXPECT_EQ(service.Handle(exchange.line), exchange.reply) << "sent: " << exchange.line;
  }
}

}  // namespace halvex
