// Faults a caller of the containers could meet: signal blocking across assignment,
// volumes without storage, extents near the size limit, refused reallocation.

#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "analysis/individu.h"
#include "containers/vexadata.h"
#include "tests/support/test_support.h"

using testing_support::CapturedOutput;

using namespace norbe;

namespace {

const char* const kLimit =
    "attempt to allocate a volume which size is greater than allowed by the system (4294967295 bytes)";

void expectLimitError(int sx, int sy, int sz, int st) {
  try {
    const Volume<unsigned char> refused(sx, sy, sz, st, AllocatorContext(), false);
    ADD_FAILURE() << sx << " x " << sy << " x " << sz << " x " << st << " accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), kLimit);
  }
}

}  // namespace

TEST(VolumeFaults, BlockedSignalsStayBlockedThroughAssignment) {
  Volume<Individu> a(2, 1, 1, 1), b(3, 1, 1, 1);
  EXPECT_FALSE(a.signalsBlocked());  // never initialised: nothing is blocked
  a.initialize();
  a.blockSignals(true);
  a = b;
  EXPECT_TRUE(a.signalsBlocked());
  CapturedOutput out;
  a.getPropertySet().setProperty("sizeX", 5);
  EXPECT_EQ(out.text(), "");  // no size slot ran
  EXPECT_EQ(a.lineStride(), 3);

  // Blocking survives a fresh initialisation too, and unblocking brings the slot back.
  Volume<Individu> c(2, 1, 1, 1);
  c.blockSignals(true);
  c.initialize();
  EXPECT_TRUE(c.signalsBlocked());
  c.blockSignals(false);
  c.getPropertySet().setProperty("sizeX", 4);
  EXPECT_NE(out.text().find("new size: 4, 1, 1, 1"), std::string::npos);
  EXPECT_EQ(c.lineStride(), 4);
}

TEST(VolumeFaults, VolumesWithoutStorageCopyAndResizeSafely) {
  Volume<double> empty(4, 4, 4, 1, AllocatorContext(), false);
  Volume<double> copy(empty);
  EXPECT_FALSE(copy.isAllocated());
  copy.reallocate(5, 4, 4, 1, true);  // contents kept: there are none to keep
  EXPECT_TRUE(copy.isAllocated());
  EXPECT_EQ(copy.at(4, 3, 3), 0.0);

  Volume<double> assigned(2, 2, 2, 1);
  assigned = empty;
  EXPECT_FALSE(assigned.isAllocated());
  CapturedOutput out;
  assigned.getPropertySet().setProperty("sizeX", 6);  // the size slot runs on a volume without storage
  EXPECT_FALSE(assigned.isAllocated());
  EXPECT_EQ(assigned.getSizeX(), 6);
  EXPECT_EQ(assigned.lineStride(), 0);
}

TEST(VolumeFaults, ChangingANullOrdinaryPropertyWithASlot) {
  PropertySet set;
  set.setProperty("k", Object());
  std::vector<bool> hadOld;
  set.getSignalPropertyChanged().connect(
      [&](const Object&, const std::string&, const Object& old) { hadOld.push_back(bool(old)); });
  set.setProperty<int>("k", 3);
  EXPECT_EQ(set.getProperty("k")->value<int>(), 3);
  EXPECT_EQ(hadOld, std::vector<bool>{false});
}

TEST(VolumeFaults, ExtentsBeyondTheLimitOrTheStridesAreRefused) {
  expectLimitError(256, 1 << 24, 65536, 65536);  // the product wraps 64 bits to 0
  expectLimitError(65535, 65535, 1, 1);          // within the byte limit, but a slice stride above 2^31
  expectLimitError(2048, 2048, 1024, 1);         // a volume stride of 2^32
  EXPECT_NO_THROW(Volume<unsigned char>(46340, 46340, 1, 2, AllocatorContext(), false));
}

TEST(VolumeFaults, RefusedReallocationLeavesTheVolumeWhole) {
  Volume<double> v(2, 2, 1, 1);
  v.at(1, 1) = 5.0;
  std::vector<double> small(2);
  AllocatorContext tiny(CallerBuffer, rc_ptr<DataSource>(new BufferDataSource(small.data(), sizeof(double) * 2)));
  EXPECT_THROW(v.reallocate(3, 3, 1, 1, false, tiny), std::runtime_error);
  EXPECT_TRUE(v.isAllocated());
  EXPECT_EQ(v.getSizeX(), 2);
  EXPECT_EQ(v.lineStride(), 2);
  EXPECT_EQ(v.at(1, 1), 5.0);
  EXPECT_EQ(v.end() - v.begin(), 4);
}
