// Registered before main runs, so that every test program of the runtime
// works in private registry and runtime folders.
#include "runtime_fixture.h"

namespace {
[[maybe_unused]] ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new hostrt_test::IsolatedEnvironment);
}
