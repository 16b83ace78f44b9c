#pragma once
// A call that must refuse with the kind of exception a table case names: a bad argument or a runtime error.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace quarvel::test_support {

// `call` must throw std::invalid_argument when `argument`, else a std::runtime_error, with exactly `message`.
template <typename Call>
void expect_refusal(Call&& call, bool argument, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_TRUE(argument) << error.what();
    EXPECT_EQ(std::string(error.what()), message);
  } catch (const std::runtime_error& error) {
    EXPECT_FALSE(argument) << error.what();
    EXPECT_EQ(std::string(error.what()), message);
  }
}

}  // namespace quarvel::test_support
