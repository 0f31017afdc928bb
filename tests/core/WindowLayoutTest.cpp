#include <gtest/gtest.h>

#include "ui/WindowLayout.h"

namespace {

TEST(WindowLayout, CentringTruncatesTowardZero)
{
    EXPECT_EQ(730, CentredOffset(1920, MAIN_WINDOW_WIDTH));
    EXPECT_EQ(470, CentredOffset(1080, MAIN_WINDOW_HEIGHT));
    EXPECT_EQ(-2, CentredOffset(455, MAIN_WINDOW_WIDTH));
    EXPECT_EQ(-1, CentredOffset(457, MAIN_WINDOW_WIDTH));
}

}  // namespace
