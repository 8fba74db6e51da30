#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Http.h"

namespace varo::test {

// An HttpSink for the tests of platform::HttpGet: records the calls and
// checks that each comes on the thread that made the sink; the answers can
// be chosen.
class RecordingHttpSink : public platform::HttpSink {
 public:
  using Clock = std::chrono::steady_clock;

  bool OnResponse(const platform::HttpResponse& response) override {
    EXPECT_EQ(std::this_thread::get_id(), Owner);
    Statuses.push_back(response.Status);
    Responses.push_back(response);
    EXPECT_TRUE(Body.empty()) << "status after body data";
    return AcceptResponse;
  }
  bool OnData(const char* data, std::size_t size) override {
    EXPECT_EQ(std::this_thread::get_id(), Owner);
    EXPECT_EQ(Statuses.size(), 1u) << "body data without exactly one status before it";
    EXPECT_GT(size, 0u);
    Body.append(data, size);
    if (Throw) {
      throw std::runtime_error("sink failed");
    }
    return AcceptData;
  }
  bool KeepGoing() override {
    EXPECT_EQ(std::this_thread::get_id(), Owner);
    Asks.push_back(Clock::now());
    return Going(static_cast<int>(Asks.size()));
  }

  // The longest time between two questions. HttpGet asks at least every
  // tenth of a second; tests allow kSilence, which a loaded machine's scheduling stays
  // within, while a client that never asks while it waits is silent for the
  // whole half-second wait.
  static constexpr auto kSilence = std::chrono::milliseconds(300);
  Clock::duration LongestSilence() const {
    Clock::duration longest{};
    for (std::size_t i = 1; i < Asks.size(); ++i) {
      longest = std::max(longest, Asks[i] - Asks[i - 1]);
    }
    return longest;
  }

  std::thread::id Owner = std::this_thread::get_id();
  bool AcceptResponse = true;
  bool AcceptData = true;
  bool Throw = false;
  std::function<bool(int)> Going = [](int) { return true; };
  std::vector<int> Statuses;
  std::vector<platform::HttpResponse> Responses;  // the whole of each, headers too
  std::string Body;
  std::vector<Clock::time_point> Asks;
};

}  // namespace varo::test
