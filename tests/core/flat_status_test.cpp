#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "quarvel/quarvel.h"
#include "support/case_names.hpp"

namespace {

struct StatusText {
  int status;
  const char* text;
};

std::ostream& operator<<(std::ostream& os, const StatusText& given) { return os << "status " << given.status; }

class StatusMessage : public ::testing::TestWithParam<StatusText> {};

TEST_P(StatusMessage, IsTheFixedText) { EXPECT_STREQ(qrvl_status_message(GetParam().status), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(Statuses, StatusMessage,
                         ::testing::Values(StatusText{QRVL_STATUS_OK, "ok"},
                                           StatusText{QRVL_STATUS_INVALID_ARGUMENT, "invalid argument"},
                                           StatusText{QRVL_STATUS_UNSUPPORTED, "unsupported"},
                                           StatusText{QRVL_STATUS_BACKEND_UNAVAILABLE, "backend unavailable"},
                                           StatusText{QRVL_STATUS_RUNTIME_ERROR, "runtime error"},
                                           StatusText{QRVL_STATUS_CANCELLED, "cancelled"},
                                           StatusText{6, "unknown status"}, StatusText{-1, "unknown status"},
                                           StatusText{1000, "unknown status"},
                                           StatusText{-2147483647 - 1, "unknown status"}),
                         [](const auto& named) {
                           return "Status" + quarvel::test_support::number_name(named.param.status);
                         });

TEST(ApiVersion, IsOnePointZeroPointTwo) {
  EXPECT_EQ(qrvl_api_version(), 10002);
  EXPECT_EQ(QRVL_API_VERSION, 10002);
}

}  // namespace
