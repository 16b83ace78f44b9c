#include <gtest/gtest.h>

#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "core/flat_calls.hpp"
#include "quarvel/engine.hpp"

namespace quarvel::testing {
namespace {

using quarvel::testing::operator<<;  // the cases below print as their names

constexpr const char* kStaleText = "text of an earlier call";
constexpr std::uint64_t kOtherCapabilities = QRVL_CAP_CUDA;

// The registry never forgets a name, so each test run registers names of its own: `base` plus a fresh suffix
// (an empty base stays empty).
std::string fresh_name(const std::string& base, int run) {
  return base.empty() ? base : base + "-" + std::to_string(run);
}

int next_run() {
  static int runs = 0;
  return ++runs;
}

// Engines must outlive the registry's use of them, so every engine a test makes lives until the process ends.
FakeEngine* lasting_engine(const std::string& name) {
  static std::deque<std::unique_ptr<FakeEngine>> engines;
  engines.push_back(std::make_unique<FakeEngine>(name, kOtherCapabilities));
  return engines.back().get();
}

// --- registration rules -----------------------------------------------------------------------------------------

struct RegistrationCase {
  const char* name;
  const char* first;   // name of the first engine; null registers a null pointer
  const char* second;  // name of a second engine, or null for none
  bool same_object;    // register the first engine object again instead of a second one
  bool first_accepted;
  bool second_accepted;
};

const RegistrationCase kRegistrationCases[] = {
    {"null_engine", nullptr, nullptr, false, false, false},
    {"empty_name", "", nullptr, false, false, false},
    {"same_object_twice", "reg-twice", nullptr, true, true, false},
    {"name_taken_by_another_object", "reg-shared", "reg-shared", false, true, false},
    {"names_differing_in_length", "reg-name", "reg-name2", false, true, true},
    {"names_differing_in_case", "reg-case", "REG-case", false, true, true},
};

class Registration : public ::testing::TestWithParam<RegistrationCase> {};

TEST_P(Registration, FollowsTheRules) {
  const RegistrationCase& given = GetParam();
  const int run = next_run();
  const int count_before = qrvl_backend_count();
  Engine* first = given.first == nullptr ? nullptr : lasting_engine(fresh_name(given.first, run));
  EXPECT_EQ(register_engine(first), given.first_accepted);
  int expected = count_before + (given.first_accepted ? 1 : 0);
  if (given.same_object || given.second != nullptr) {
    Engine* second = given.same_object ? first : lasting_engine(fresh_name(given.second, run));
    EXPECT_EQ(register_engine(second), given.second_accepted);
    expected += given.second_accepted ? 1 : 0;
  }
  EXPECT_EQ(qrvl_backend_count(), expected);
}

INSTANTIATE_TEST_SUITE_P(Rules, Registration, ::testing::ValuesIn(kRegistrationCases),
                         [](const auto& named) { return std::string(named.param.name); });

TEST(Registration, AppendsInOrderAndIsEnumerated) {
  registered_fake_engine();
  FakeEngine* later = lasting_engine(fresh_name("reg-later", next_run()));
  ASSERT_TRUE(register_engine(later));
  const int last = qrvl_backend_count() - 1;
  QrvlBackendInfo info{};
  ASSERT_EQ(qrvl_backend_info(last, &info), QRVL_STATUS_OK);
  EXPECT_EQ(info.name, later->info().name);
  EXPECT_STREQ(info.version, kFakeEngineVersion);
  EXPECT_EQ(info.capabilities, kOtherCapabilities);
}

// The lookup by name picks the registered engine of that name, not merely the first engine.
TEST(Registration, LoadModelUsesTheEngineNamed) {
  FakeEngine& fake = registered_fake_engine();
  const int fake_models = fake.live_models();
  FakeEngine* other = lasting_engine(fresh_name("reg-lookup", next_run()));
  ASSERT_TRUE(register_engine(other));
  QrvlModel* handle = nullptr;
  ASSERT_EQ(qrvl_load_model(other->info().name.c_str(), "ordinary", &handle), QRVL_STATUS_OK);
  EXPECT_EQ(other->live_models(), 1);
  EXPECT_EQ(fake.live_models(), fake_models);
  qrvl_free_model(handle);
  EXPECT_EQ(other->live_models(), 0);
}

// --- backend info -----------------------------------------------------------------------------------------------

int fake_engine_index() {
  registered_fake_engine();
  for (int i = 0; i < qrvl_backend_count(); ++i) {
    QrvlBackendInfo info{};
    if (qrvl_backend_info(i, &info) == QRVL_STATUS_OK && std::string(info.name) == kFakeEngineName) {
      return i;
    }
  }
  return -1;
}

TEST(BackendInfo, DescribesTheEngineAndKeepsTheLastError) {
  const int index = fake_engine_index();
  ASSERT_GE(index, 0);
  QrvlBackendInfo info{};
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_backend_info(index, &info), QRVL_STATUS_OK);
  EXPECT_STREQ(info.name, kFakeEngineName);
  EXPECT_STREQ(info.version, kFakeEngineVersion);
  EXPECT_EQ(info.capabilities, kFakeEngineCapabilities);
  EXPECT_STREQ(qrvl_last_error_message(), kStaleText);
}

class BackendInfoIndex : public ::testing::TestWithParam<int> {};

// Offsets from the engine count: -1 stands for index -1 itself, 0 and 5 for count + 0 and count + 5.
TEST_P(BackendInfoIndex, OutOfRangeZeroesTheRecord) {
  registered_fake_engine();
  const int index = GetParam() < 0 ? GetParam() : qrvl_backend_count() + GetParam();
  QrvlBackendInfo info{"junk", "junk", kOtherCapabilities};
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_backend_info(index, &info), QRVL_STATUS_BACKEND_UNAVAILABLE);
  EXPECT_EQ(info.name, nullptr);
  EXPECT_EQ(info.version, nullptr);
  EXPECT_EQ(info.capabilities, 0u);
  EXPECT_STREQ(qrvl_last_error_message(), kStaleText);
}

INSTANTIATE_TEST_SUITE_P(Indices, BackendInfoIndex, ::testing::Values(-1, 0, 5), [](const auto& offset) {
  return offset.param < 0 ? std::string("MinusOne") : "CountPlus" + std::to_string(offset.param);
});

TEST(BackendInfo, NullOutIsAnInvalidArgument) {
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_backend_info(0, nullptr), QRVL_STATUS_INVALID_ARGUMENT);
  EXPECT_STREQ(qrvl_last_error_message(), kStaleText);
}

TEST(BackendInfo, TextsLastUntilTheSameThreadAsksAgain) {
  const int fake_index = fake_engine_index();
  FakeEngine* other = lasting_engine(fresh_name("reg-info-texts", next_run()));
  ASSERT_TRUE(register_engine(other));
  const int other_index = qrvl_backend_count() - 1;
  const std::string other_name = other->info().name;

  QrvlBackendInfo mine{};
  ASSERT_EQ(qrvl_backend_info(fake_index, &mine), QRVL_STATUS_OK);
  std::thread asker([&] {
    QrvlBackendInfo theirs{};
    for (int round = 0; round < 100; ++round) {
      ASSERT_EQ(qrvl_backend_info(other_index, &theirs), QRVL_STATUS_OK);
      ASSERT_EQ(theirs.name, other_name);
    }
  });
  asker.join();
  EXPECT_STREQ(mine.name, kFakeEngineName);

  // A second call on this thread replaces the copy; `mine` may no longer be read.
  QrvlBackendInfo again{};
  ASSERT_EQ(qrvl_backend_info(other_index, &again), QRVL_STATUS_OK);
  EXPECT_EQ(again.name, other_name);
}

// An engine that breaks its promise not to throw from info() must not take the process down either.
TEST(BackendInfo, SurvivesAnEngineWhoseInfoThrows) {
  registered_fake_engine();
  FakeEngine* faulty = lasting_engine(fresh_name("reg-faulty-info", next_run()));
  ASSERT_TRUE(register_engine(faulty));
  const int index = qrvl_backend_count() - 1;
  const std::string faulty_name = faulty->info().name;
  faulty->set_info_throws(true);

  QrvlBackendInfo info{"junk", "junk", kOtherCapabilities};
  set_last_error(kStaleText);
  EXPECT_EQ(qrvl_backend_info(index, &info), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_EQ(info.name, nullptr);
  EXPECT_STREQ(qrvl_last_error_message(), kStaleText);

  QrvlModel* handle = nullptr;
  EXPECT_EQ(qrvl_load_model(faulty_name.c_str(), "ordinary", &handle), QRVL_STATUS_RUNTIME_ERROR);
  EXPECT_STREQ(qrvl_last_error_message(), "fake engine info failure");
  EXPECT_EQ(handle, nullptr);
  faulty->set_info_throws(false);
}

}  // namespace
}  // namespace quarvel::testing
