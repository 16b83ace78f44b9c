#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "core/flat_calls.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::testing {
namespace {

// Loads a path the fake engine cannot open and answers the thread's last error afterwards.
std::string fail_to_load(const std::string& path) {
  QrvlModel* handle = nullptr;
  EXPECT_EQ(qrvl_load_model(kFakeEngineName, path.c_str(), &handle), QRVL_STATUS_RUNTIME_ERROR);
  return qrvl_last_error_message();
}

TEST(LastError, BelongsToTheThreadThatFailed) {
  registered_fake_engine();
  set_last_error("main thread text");
  std::promise<void> first_failed;
  std::promise<void> second_failed;
  std::string first_seen_after;
  std::string second_seen;

  std::thread first([&] {
    EXPECT_STREQ(qrvl_last_error_message(), "");  // a new thread starts empty
    EXPECT_EQ(fail_to_load("first-file"), "fake engine cannot open first-file");
    first_failed.set_value();
    second_failed.get_future().wait();
    first_seen_after = qrvl_last_error_message();
  });
  std::thread second([&, first_done = first_failed.get_future()]() mutable {
    first_done.wait();
    second_seen = fail_to_load("second-file");
    second_failed.set_value();
  });
  first.join();
  second.join();

  EXPECT_EQ(first_seen_after, "fake engine cannot open first-file");
  EXPECT_EQ(second_seen, "fake engine cannot open second-file");
  EXPECT_STREQ(qrvl_last_error_message(), "main thread text");
}

TEST(LastError, IsSetAndClearedThroughTheObjectInterface) {
  set_last_error("a failure");
  EXPECT_STREQ(qrvl_last_error_message(), "a failure");
  clear_last_error();
  EXPECT_STREQ(qrvl_last_error_message(), "");
}

// The texts that read the last error neither clear nor set it.
TEST(LastError, IsLeftAloneByTheTextFunctions) {
  set_last_error("kept");
  EXPECT_EQ(qrvl_api_version(), QRVL_API_VERSION);
  EXPECT_STREQ(qrvl_status_message(QRVL_STATUS_OK), "ok");
  EXPECT_EQ(qrvl_backend_count(), qrvl_backend_count());
  EXPECT_STREQ(qrvl_last_error_message(), "kept");
}

}  // namespace
}  // namespace quarvel::testing
