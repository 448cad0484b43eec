#include <gtest/gtest.h>

#include "platform/posix/posix_testing.h"

TEST(PosixBackend, Placeholder) { EXPECT_EQ(win::posix::ToWindowsPath("/tmp/x"), "C:\\tmp\\x"); }
