#include <gtest/gtest.h>

#include "support/quorvane_dll.h"

TEST(RandomCalls, DllLoads) { ASSERT_NE(testing_support::TheDll().module, nullptr); }
