#include "host/controller/admission_waiting_list.hpp"

#include <gtest/gtest.h>

#include "tests/host/controller/fake_session.hpp"

namespace tavlo {
namespace {

using controllertest::FakeSession;

std::vector<std::shared_ptr<FakeSession>> addMany(AdmissionWaitingList& list, const std::string& address, int count,
                                                  std::vector<std::shared_ptr<ControlledSession>>* displaced) {
  std::vector<std::shared_ptr<FakeSession>> made;
  for (int i = 0; i < count; ++i) {
    made.push_back(std::make_shared<FakeSession>(address + " #" + std::to_string(i)));
    for (auto& gone : list.add(address, made.back())) displaced->push_back(std::move(gone));
  }
  return made;
}

TEST(AdmissionWaitingList, ACapOverrunDisplacesTheOldestItCovers) {
  // One honest session from 192.168.1.5, then a flood from 10.0.0.9; displaced sessions by name, oldest first.
  struct Row {
    const char* why;
    size_t totalCap;
    size_t perAddressCap;
    int floodCount;
    std::vector<std::string> displaced;
  };
  const Row rows[] = {
      {"one address over its cap displaces its own oldest and no other address", 10, 3, 5, {"10.0.0.9 #0", "10.0.0.9 #1"}},
      {"a full list displaces the oldest of the address that holds the most, never the honest one", 4, 8, 4,
       {"10.0.0.9 #0"}},
      {"a full list and an address as full as the arriving one: the arriving address's own goes", 2, 8, 3,
       {"10.0.0.9 #0", "10.0.0.9 #1"}},
  };
  for (const Row& row : rows) {
    AdmissionWaitingList list(row.totalCap, row.perAddressCap);
    std::vector<std::shared_ptr<ControlledSession>> displaced;
    auto honest = addMany(list, "192.168.1.5", 1, &displaced);
    auto flood = addMany(list, "10.0.0.9", row.floodCount, &displaced);
    std::vector<std::string> names;
    for (const auto& session : displaced) names.push_back(static_cast<const FakeSession&>(*session).name);
    EXPECT_EQ(names, row.displaced) << row.why;
    EXPECT_EQ(list.size(), std::min<size_t>(row.totalCap, 4)) << row.why;
  }
}

TEST(AdmissionWaitingList, AdmittedEndedAndDestroyedSessionsStopCounting) {
  AdmissionWaitingList list(/*totalCap=*/3, /*perAddressCap=*/3);
  std::vector<std::shared_ptr<ControlledSession>> displaced;
  auto sessions = addMany(list, "10.0.0.9", 3, &displaced);
  list.forget(sessions[0]);  // admitted
  sessions[1].reset();       // gone with its threads
  EXPECT_EQ(list.size(), 1u);
  addMany(list, "10.0.0.9", 2, &displaced);
  EXPECT_TRUE(displaced.empty()) << "the freed places are taken without displacing the one still waiting";
}

}  // namespace
}  // namespace tavlo
