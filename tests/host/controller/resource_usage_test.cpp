#include "host/controller/resource_usage.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <fstream>

#include "tests/testkit/temp_dir.hpp"

namespace tavlo {
namespace {

TEST(ResourceUsage, MeasuresThisProcess) {
  ResourceSample sample = sampleResources();
  EXPECT_GT(sample.rssMb, 0);
  EXPECT_GE(sample.openDescriptors, 3);
  EXPECT_GE(sample.threads, 1);
}

TEST(ResourceUsage, AFailedMeasurementShowsMinusOne) {
  testkit::TempDir proc;
  std::ofstream(proc / "statm") << "1000 2560 10 1 0 100 0\n";
  std::filesystem::create_directory(proc / "task");
  std::filesystem::create_directory(proc / "task" / "1");
  ResourceSample sample = sampleResources(proc.path());
  EXPECT_EQ(sample.openDescriptors, -1) << "no descriptor folder";
  EXPECT_EQ(sample.threads, 1);
  EXPECT_EQ(sample.rssMb, (2560 * ::sysconf(_SC_PAGESIZE)) >> 20);
  EXPECT_EQ(resourceLine({12, -1, 7}), "🧠 zasoby: RSS 12 MB, fd -1, wątki 7");
}

}  // namespace
}  // namespace tavlo
