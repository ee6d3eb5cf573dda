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

template <class T>
void number(Volume<T>& v) {
  for (int t = 0; t < v.getSizeT(); ++t)
    for (int z = 0; z < v.getSizeZ(); ++z)
      for (int y = 0; y < v.getSizeY(); ++y)
        for (int x = 0; x < v.getSizeX(); ++x) v.at(x, y, z, t) = static_cast<T>(1000 * t + 100 * z + 10 * y + x);
}

}  // namespace

TEST(Volume, NewVolumesHoldZeroAndFollowTheirSizes) {
  Volume<double> v(3, 4, 2, 2);
  EXPECT_EQ(v.end() - v.begin(), 48);
  for (double value : v) EXPECT_EQ(value, 0.0);
  EXPECT_EQ(v.lineStride(), 3);
  EXPECT_EQ(v.sliceStride(), 12);
  EXPECT_EQ(v.volumeStride(), 24);
  EXPECT_EQ(&v.at(1, 2, 1, 1), v.begin() + 1 + 2 * 3 + 12 + 24);
  EXPECT_EQ(v.getPropertySet().getProperty("sizeY")->value<int>(), 4);

  Volume<Individu> records(2, 1, 1, 1);
  EXPECT_TRUE(records.at(1).values.empty());
}

TEST(Volume, AllocationLimitIsCheckedBeforeAnything) {
  const std::string message =
      "attempt to allocate a volume which size is greater than allowed by the system (4294967295 bytes)";
  // 65537 * 257 * 17 * 15 = 4294967295 one-byte elements: exactly the limit passes the check.
  EXPECT_NO_THROW(Volume<unsigned char>(65537, 257, 17, 15, AllocatorContext(), false));
  try {
    const Volume<unsigned char> refused(65536, 65536, 1, 1, AllocatorContext(), false);
    ADD_FAILURE() << "4294967296 bytes accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(e.what(), message);
  }
  // The element size counts: 2^30 floats are 4294967296 bytes.
  EXPECT_THROW(Volume<float>(1024, 1024, 1024, 1, AllocatorContext(), false), std::runtime_error);
  // Extents whose product overflows 32 bits are refused the same way.
  EXPECT_THROW(Volume<short>(32768, 32768, 32768, 60), std::runtime_error);

  Volume<float> small(2, 2, 2, 2);
  EXPECT_THROW(small.reallocate(1024, 1024, 1024, 1), std::runtime_error);
  EXPECT_EQ(small.getSizeX(), 2);  // a refused size leaves the volume as it was
}

TEST(Volume, SizeSignalResizesKeepingTheOverlap) {
  Volume<Individu> v(10, 20, 30, 1);
  v.initialize();
  for (int x = 0; x < 10; ++x) v.at(x, 3, 4).values.assign(1, static_cast<float>(x + 1));

  CapturedOutput out;
  v.getPropertySet().setProperty("sizeX", 12);
  EXPECT_EQ(out.text(),
            "Volume< 8Individu >::slotSizeChanged\n"
            "old sizex: 10\n"
            "old size: 10, 20, 30, 1\n"
            "new size: 12, 20, 30, 1\n");
  EXPECT_EQ(v.getSizeX(), 12);
  EXPECT_EQ(v.lineStride(), 12);
  for (int x = 0; x < 10; ++x) EXPECT_EQ(v.at(x, 3, 4).values, std::vector<float>{float(x + 1)});
  EXPECT_TRUE(v.at(10, 3, 4).values.empty());
  EXPECT_TRUE(v.at(11, 3, 4).values.empty());
}

TEST(Volume, ShrinkReallocateAndNoOp) {
  Volume<int> v(4, 3, 2, 2);
  number(v);
  v.reallocate(2, 2, 2, 1, true);
  EXPECT_EQ(v.at(1, 1, 1, 0), 111);
  EXPECT_EQ(v.end() - v.begin(), 8);

  const int* before = v.begin();
  v.reallocate(2, 2, 2, 1, true, v.allocatorContext());  // same sizes, own context: untouched
  EXPECT_EQ(v.begin(), before);
  EXPECT_EQ(v.at(1, 1, 1, 0), 111);

  v.reallocate(3, 2, 2, 1, false);  // contents discarded
  for (int value : v) EXPECT_EQ(value, 0);
}

TEST(Volume, AssignmentCopiesWithoutSizeDiagnostic) {
  Volume<int> a(2, 2, 1, 1);
  a.initialize();
  Volume<int> b(5, 1, 1, 3);
  number(b);
  b.getPropertySet().setProperty("note", 3);
  CapturedOutput out;
  a = b;
  EXPECT_EQ(out.text(), "");
  EXPECT_EQ(a.getSizeX(), 5);
  EXPECT_EQ(a.getPropertySet().getProperty("sizeT")->value<int>(), 3);  // still bound to a's own field
  EXPECT_EQ(a.getPropertySet().getProperty("note")->value<int>(), 3);
  EXPECT_EQ(a.at(4, 0, 0, 2), 2004);
  a.at(4, 0, 0, 2) = 1;
  EXPECT_EQ(b.at(4, 0, 0, 2), 2004);

  // After assignment the size filter is live again, exactly once.
  a.getPropertySet().setProperty("sizeY", 2);
  EXPECT_EQ(out.text().find("slotSizeChanged"), out.text().rfind("slotSizeChanged"));
  EXPECT_EQ(a.at(4, 0, 0, 2), 1);
}

TEST(Volume, UnallocatedThenAllocated) {
  Volume<float> v(3, 3, 3, 1, AllocatorContext(), false);
  EXPECT_FALSE(v.isAllocated());
  EXPECT_EQ(v.lineStride(), 0);
  EXPECT_EQ(v.begin(), nullptr);
  v.allocate();
  EXPECT_TRUE(v.isAllocated());
  EXPECT_EQ(v.sliceStride(), 9);
  v.at(2, 2, 2) = 1.0f;
  const float* storage = v.begin();
  v.allocate();  // already allocated: nothing happens
  EXPECT_EQ(v.begin(), storage);
}

TEST(Volume, CallerBufferIsUsedInPlace) {
  std::vector<short> buffer(2 * 3 * 1 * 2, 7);
  {
    Volume<short> v(2, 3, 1, 2, buffer.data());
    EXPECT_EQ(v.allocatorContext().allocatorType(), AllocatorKind::CallerBuffer);
    EXPECT_EQ(v.at(1, 2, 0, 1), 7);  // the caller's contents, not a default element
    v.at(0, 0, 0, 1) = 42;
  }
  EXPECT_EQ(buffer[6], 42);  // released without freeing the caller's memory
}

TEST(Volume, NonIntegerOldSizeIsRefused) {
  Volume<float> v(2, 2, 2, 1);
  // Another header whose "sizeX" is a float, wired to the volume's slot.
  Headered other;
  other.initialize();
  other.addPropertyFilter(rc_ptr<PropertyFilter>(new PropertyFilter("size", {"sizeX"})));
  other.connect("size", sigc::mem_fun(v, &Volume<float>::slotSizeChanged));
  other.getPropertySet().setProperty("sizeX", 1.5f);
  const float* storage = v.begin();
  CapturedOutput out;
  try {
    other.getPropertySet().setProperty("sizeX", 2.5f);
    ADD_FAILURE() << "float old size accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "cannot convert object from FLOAT to S32");
  }
  EXPECT_EQ(out.text(), "Volume< f >::slotSizeChanged\n");
  EXPECT_EQ(v.begin(), storage);
}

TEST(VexaData, BorderArithmetic) {
  VexaData<float> d(4, 3, 2, 5, 1);
  EXPECT_EQ(d.volume().getSizeX(), 6);
  EXPECT_EQ(d.volume().getSizeY(), 5);
  EXPECT_EQ(d.volume().getSizeZ(), 4);
  EXPECT_EQ(d.volume().getSizeT(), 5);
  EXPECT_EQ(d.dimX(), 4);
  EXPECT_EQ(d.dimY(), 3);
  EXPECT_EQ(d.dimZ(), 2);
  EXPECT_EQ(d.dimT(), 5);
  EXPECT_EQ(d.borderWidth(), 1);
  for (int t = 0; t < 5; ++t) EXPECT_EQ(&d(0, 0, 0, t), &d.volume().at(1, 1, 1, t));
  EXPECT_EQ(&d(3, 2, 1, 4), &d.volume().at(4, 3, 2, 4));
  EXPECT_EQ(d.volume().getPropertySet().getProperty("_borderWidth")->value<int>(), 1);

  VexaData<float> plain(4, 3, 2, 5, 0);
  EXPECT_FALSE(plain.volume().getPropertySet().hasProperty("_borderWidth"));
  EXPECT_EQ(&plain(0, 0, 0, 1), &plain.volume().at(0, 0, 0, 1));
}

TEST(VexaData, VoxelSizeAccessors) {
  VexaData<float> d(2, 2, 2, 1);
  EXPECT_EQ(d.voxelSizeX(), 1.0f);  // missing key

  d.pythonHeader()->setProperty("voxel_size", makeObject(std::vector<float>{2.5f}));
  EXPECT_EQ(d.voxelSizeX(), 2.5f);
  EXPECT_EQ(d.voxelSizeY(), 1.0f);
  EXPECT_EQ(d.voxelSizeZ(), 1.0f);

  d.pythonHeader()->setProperty("voxel_size", makeObject(4.0f));  // not a list
  EXPECT_EQ(d.voxelSizeX(), 1.0f);

  d.pythonHeader()->setProperty("voxel_size", makeObject(std::vector<double>{0.1, 0.2, 0.3}));
  EXPECT_EQ(d.voxelSizeX(), 0.1f);
  EXPECT_EQ(d.voxelSizeZ(), 0.3f);

  d.setVoxelSize(1.5f, 1.5f, 3.0f, 1.0f);
  EXPECT_EQ(d.voxelSizeZ(), 3.0f);
  EXPECT_EQ(d.volume().getPropertySet().getProperty("voxel_size")->size(), 4);
}

TEST(VexaData, AdoptHeaderKeepsVoxelSize) {
  VexaData<short> d(2, 2, 1, 1);
  d.setVoxelSize(2.0f, 3.0f, 4.0f, 1.0f);
  d.pythonHeader()->setProperty("old", makeObject(1));

  auto* incoming = new PythonHeader;
  incoming->setProperty("volume_dimension", makeObject(std::vector<int>{2, 2, 1}));
  d.adoptHeader(incoming);  // lacks "voxel_size": ours stays, "old" goes
  EXPECT_EQ(d.voxelSizeY(), 3.0f);
  EXPECT_FALSE(d.pythonHeader()->hasProperty("old"));
  EXPECT_TRUE(d.pythonHeader()->hasProperty("volume_dimension"));
  EXPECT_EQ(d.pythonHeader()->getProperty("sizeX")->value<int>(), 2);

  Header* own = d.header();
  d.adoptHeader(own);  // its own pointer: nothing changes, nothing is deleted
  EXPECT_EQ(d.header(), own);
  EXPECT_TRUE(d.pythonHeader()->hasProperty("volume_dimension"));
}

TEST(VexaData, DeepCopyIsIndependent) {
  VexaData<double> a(3, 2, 1, 2, 1);
  a(2, 1, 0, 1) = 5.0;
  a.setVoxelSize(2, 2, 2, 1);
  VexaData<double> b = a.deepCopy();
  EXPECT_NE(b.volumePointer().get(), a.volumePointer().get());
  EXPECT_EQ(b.volumePointer().refCount(), 1);
  EXPECT_EQ(b.borderWidth(), 1);
  EXPECT_EQ(b.dimX(), 3);
  EXPECT_EQ(b(2, 1, 0, 1), 5.0);
  EXPECT_EQ(b.voxelSizeX(), 2.0f);
  EXPECT_EQ(b.volume().getPropertySet().getProperty("_borderWidth")->value<int>(), 1);
  b(2, 1, 0, 1) = 7.0;
  EXPECT_EQ(a(2, 1, 0, 1), 5.0);

  VexaData<double> shared(a);  // a plain copy shares the voxels
  shared(0, 0, 0, 0) = 9.0;
  EXPECT_EQ(a(0, 0, 0, 0), 9.0);
}

TEST(Volume, SlotOfADestroyedVolumeIsNotCalled) {
  Headered header;
  header.initialize();
  header.addPropertyFilter(rc_ptr<PropertyFilter>(new PropertyFilter("size", {"sizeX"})));
  header.getPropertySet().setProperty("sizeX", 1);
  {
    Volume<float> v(2, 2, 2, 1);
    header.connect("size", sigc::mem_fun(v, &Volume<float>::slotSizeChanged));
  }
  CapturedOutput out;
  header.getPropertySet().setProperty("sizeX", 2);  // the volume is gone: nothing runs
  EXPECT_EQ(out.text(), "");
}

TEST(Volume, OverwriteContextSkipsOnlyTrivialConstruction) {
  // Records own heap memory: they are built even when the block is to be overwritten.
  Volume<Individu> records(3, 1, 1, 1, AllocatorContext(Overwrite));
  EXPECT_EQ(records.allocatorContext().allocatorType(), AllocatorKind::MemoryUnset);
  records.at(2).values.assign(4, 1.0f);
  EXPECT_TRUE(records.at(0).values.empty());

  Volume<float> floats(4, 4, 1, 1, AllocatorContext(Overwrite));
  for (float& v : floats) v = 2.5f;
  Volume<float> copy(floats);  // a copy still copies the voxels
  EXPECT_EQ(copy.at(3, 3), 2.5f);
  copy.reallocate(5, 4, 1, 1, true);
  EXPECT_EQ(copy.at(3, 3), 2.5f);
}
