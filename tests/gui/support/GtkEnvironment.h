#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "support/VirtualDisplay.h"

namespace varo::gui_test {

// A test program's display: an Xvfb of its own and GTK initialised on it,
// once for all its tests. Register it in the test file:
//   const auto* const kGtk = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);
class GtkEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  // False when there is no display to test on.
  static bool Ready();
  static const VirtualDisplay& Display();
};

// Runs the default main context until done() holds; false after timeout.
bool IterateUntil(const std::function<bool()>& done,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));
// Runs the default main context for a while (to let X events arrive).
void IterateFor(std::chrono::milliseconds duration);

}  // namespace varo::gui_test
