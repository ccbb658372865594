// Without a Windows console, console_test runs against the in-memory one: 80
// columns and 300 rows with a window on the first 25, as a console window
// usually starts. The terminal the tests may run in is left alone.
#include <gtest/gtest.h>

#include "platform/platform.h"

namespace {

class ModelConsole : public ::testing::Environment {
 public:
  void SetUp() override { platform_use_screen_model(80, 300, {0, 0, 79, 24}); }
  void TearDown() override { platform_use_no_console(); }
};

::testing::Environment* const model_console = ::testing::AddGlobalTestEnvironment(new ModelConsole);

}  // namespace
