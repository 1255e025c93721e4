#include <gtest/gtest.h>
TEST(SystemPlaceholder, Builds) { SUCCEED(); }
