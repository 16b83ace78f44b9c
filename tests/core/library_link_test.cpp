#include <gtest/gtest.h>

extern "C" int qrvl_placeholder(void);

TEST(Library, LinksAndAnswers) { EXPECT_EQ(qrvl_placeholder(), 0); }
