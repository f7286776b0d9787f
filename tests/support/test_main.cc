#include <gtest/gtest.h>

namespace testing_support {
int RunChildIfRequested();
}

int main(int argc, char** argv) {
  int child = testing_support::RunChildIfRequested();
  if (child >= 0) return child;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
