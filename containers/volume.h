#pragma once
// The four-dimensional voxel container: a dense block indexed by (x, y, z, t),
// x fastest, with the sizes mirrored as built-in header properties.

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <limits>
#include <memory>
#include <new>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "imaging/base/allocator.h"
#include "imaging/base/headered.h"

namespace norbe {

//! Largest element block, in bytes, that a volume may hold.
constexpr std::int64_t kVolumeByteLimit = 4294967295LL;

[[noreturn]] inline void refuseVolumeSize() {
  throw std::runtime_error("attempt to allocate a volume which size is greater than allowed by the system (" +
                           std::to_string(kVolumeByteLimit) + " bytes)");
}

/*!
 * The element count of a volume of these extents. Throws the size-limit error when the
 * elements need more bytes than the limit, or when x * y * z exceeds the 32-bit strides
 * (which one-byte elements reach within the byte limit); std::invalid_argument for a
 * negative extent. Each partial product is compared before it is formed, so none overflows.
 */
inline std::int64_t volumeElementCount(std::int64_t sx, std::int64_t sy, std::int64_t sz, std::int64_t st,
                                       std::size_t elementSize) {
  if (sx < 0 || sy < 0 || sz < 0 || st < 0) {
    throw std::invalid_argument("negative volume size " + std::to_string(sx) + " x " + std::to_string(sy) + " x " +
                                std::to_string(sz) + " x " + std::to_string(st));
  }
  constexpr std::int64_t kMaxStride = std::numeric_limits<std::int32_t>::max();
  std::int64_t stride = 1;
  for (const std::int64_t extent : {sx, sy, sz}) {
    if (extent != 0 && stride > kMaxStride / extent) refuseVolumeSize();
    stride *= extent;
  }
  const std::int64_t maxCount = kVolumeByteLimit / static_cast<std::int64_t>(elementSize);
  if (st != 0 && stride > maxCount / st) refuseVolumeSize();
  return stride * st;
}

//! The element storage of a volume and the context that chose its allocator.
template <class T>
struct ElementBlock {
  explicit ElementBlock(const AllocatorContext& ctx) : context(ctx) {}
  // A copy of a block without storage holds none either: there is nothing to copy, and
  // an empty allocation would claim storage for elements that do not exist.
  ElementBlock(const ElementBlock& other) : context(other.context), count(other.count) {
    if (!other.context.isAllocated()) return;
    allocate();
    copyElementsFrom(other);
  }
  ElementBlock& operator=(const ElementBlock& other) {
    if (&other == this) return *this;
    release();
    count = other.count;
    context = other.context;
    if (!other.context.isAllocated()) return *this;
    allocate();
    copyElementsFrom(other);
    return *this;
  }
  ~ElementBlock() { release(); }

  void swap(ElementBlock& other) noexcept {
    context.swap(other.context);
    std::swap(count, other.count);
    std::swap(data, other.data);
  }

  //! Storage for count elements; plain memory starts as copies of a default element.
  void allocate() {
    if (context.isAllocated()) return;
    data = static_cast<T*>(context.allocateRaw(data, count, sizeof(T)));
    // Trivial elements' default is all zero bits: a zero-filled block is already built.
    const bool zeros = std::is_trivial_v<T> && context.givesZeros(std::uint64_t(count) * sizeof(T));
    if (constructs() && count > 0 && !zeros) {
      try {
        std::uninitialized_fill_n(data, count, T());
      } catch (...) {
        context.release(data, count, sizeof(T));
        data = nullptr;
        throw;
      }
    }
  }

  void release() {
    if (!context.isAllocated()) return;
    // The records own heap memory: destroy before handing the storage back.
    if (constructs()) std::destroy_n(data, count);
    context.release(data, count, sizeof(T));
    data = nullptr;
  }

  //! Whether this block's elements are built and destroyed one by one.
  bool constructs() const {
    return context.usesPlainMemory() || (context.leavesElementsUnset() && !std::is_trivial_v<T>);
  }

  void copyElementsFrom(const ElementBlock& other) {
    const AllocatorKind mine = context.allocatorType();
    if (mine == AllocatorKind::CallerBuffer || mine == AllocatorKind::NoStorage ||
        other.context.allocatorType() == AllocatorKind::NoStorage) {
      return;
    }
    std::copy(other.data, other.data + std::min(count, other.count), data);
  }

  AllocatorContext context;
  std::uint32_t count = 0;
  T* data = nullptr;
};

//! The sizes of a volume, and their built-in header properties.
template <class T>
class VolumeProxy : public Headered {
 public:
  VolumeProxy(int sx, int sy, int sz, int st) : sizeX(sx), sizeY(sy), sizeZ(sz), sizeT(st) { declareSizes(); }
  VolumeProxy(const VolumeProxy& other)
      : DefaultRefConstruction(),
        RCObject(),
        Headered(other),
        sizeX(other.sizeX),
        sizeY(other.sizeY),
        sizeZ(other.sizeZ),
        sizeT(other.sizeT) {
    declareSizes();
  }
  ~VolumeProxy() override = default;

  int getSizeX() const { return sizeX; }
  int getSizeY() const { return sizeY; }
  int getSizeZ() const { return sizeZ; }
  int getSizeT() const { return sizeT; }

 protected:
  VolumeProxy& operator=(const VolumeProxy&) = default;

  int sizeX;
  int sizeY;
  int sizeZ;
  int sizeT;

 private:
  void declareSizes() {
    PropertySet& header = getPropertySet();
    header.addBuiltinProperty("sizeX", sizeX);
    header.addBuiltinProperty("sizeY", sizeY);
    header.addBuiltinProperty("sizeZ", sizeZ);
    header.addBuiltinProperty("sizeT", sizeT);
  }
};

template <class T>
class Volume : public VolumeProxy<T> {
  using Proxy = VolumeProxy<T>;
  using Proxy::sizeT;
  using Proxy::sizeX;
  using Proxy::sizeY;
  using Proxy::sizeZ;

 public:
  explicit Volume(int sx = 1, int sy = 1, int sz = 1, int st = 1, const AllocatorContext& context = AllocatorContext(),
                  bool allocated = true)
      : Proxy(sx, sy, sz, st), _block(context) {
    _block.count = 0;
    _block.allocate();
    allocate(-1, -1, -1, -1, allocated, context);
  }

  //! \note The volume uses buffer in place; the caller keeps it alive and frees it.
  Volume(int sx, int sy, int sz, int st, void* buffer)
      : Proxy(sx, sy, sz, st), _block(AllocatorContext(CallerBuffer, rc_ptr<DataSource>(), false, 1.0f)) {
    const std::int64_t n = elementCount();
    _block.context = AllocatorContext(
        CallerBuffer, rc_ptr<DataSource>(new BufferDataSource(buffer, static_cast<std::uint64_t>(n) * sizeof(T))),
        false, 1.0f);
    _block.count = static_cast<std::uint32_t>(n);
    _block.allocate();
    allocate(-1, -1, -1, -1, true, _block.context);
  }

  Volume(const Volume& other)
      : DefaultRefConstruction(),
        RCObject(),
        Proxy(other),
        _block(other._block),
        _lineStride(other._lineStride),
        _sliceStride(other._sliceStride),
        _volumeStride(other._volumeStride) {}

  Volume& operator=(const Volume& other) {
    const bool wasBlocked = this->signalsBlocked();
    if (!wasBlocked) this->blockSignals(true);
    if (&other != this) {
      Headered::operator=(other);
      sizeX = other.sizeX;
      sizeY = other.sizeY;
      sizeZ = other.sizeZ;
      sizeT = other.sizeT;
      _block = other._block;
      _lineStride = other._lineStride;
      _sliceStride = other._sliceStride;
      _volumeStride = other._volumeStride;
    }
    initialize();
    if (!wasBlocked) this->blockSignals(false);
    return *this;
  }

  ~Volume() override = default;

  //! Makes header writes of "sizeX" ... "sizeT" resize the volume.
  void initialize() override {
    Headered::initialize();
    const std::set<std::string> names{"sizeX", "sizeY", "sizeZ", "sizeT"};
    rc_ptr<PropertyFilter> filter(new PropertyFilter("size", names));
    this->addPropertyFilter(filter);
    this->connect(filter->getName(), sigc::mem_fun(*this, &Volume::slotSizeChanged));
  }

  virtual void reallocate(int sx, int sy, int sz, int st, bool keepContents = false,
                          const AllocatorContext& context = AllocatorContext(), bool allocateStorage = true) {
    const int ox = sizeX, oy = sizeY, oz = sizeZ, ot = sizeT;
    sizeX = sx;
    sizeY = sy;
    sizeZ = sz;
    sizeT = st;
    const bool changed = sx != ox || sy != oy || sz != oz || st != ot;
    try {
      if (!keepContents && changed) {
        allocate(-1, -1, -1, -1, allocateStorage, context);
      } else {
        allocate(ox, oy, oz, ot, allocateStorage, context);
      }
    } catch (...) {
      // A refused size leaves the volume as it was.
      sizeX = ox;
      sizeY = oy;
      sizeZ = oz;
      sizeT = ot;
      throw;
    }
  }

  //! Gives storage to a volume built without it; does nothing otherwise.
  void allocate() {
    if (!_block.context.isAllocated()) allocate(sizeX, sizeY, sizeZ, sizeT, true, _block.context);
  }

  /*!
   * Brings the block to the current sizes; old sizes (not all -1) keep the overlapping voxels.
   * A new block is made before the old one goes, so a refused allocation leaves the volume
   * with its storage and strides as they were.
   */
  void allocate(int ox, int oy, int oz, int ot, bool allocateStorage, const AllocatorContext& context) {
    const std::int64_t n = elementCount();
    const bool hasOld = !(ox == -1 && oy == -1 && oz == -1 && ot == -1);
    if (allocateStorage && _block.context.isAllocated() && hasOld) {
      const bool same = ox == sizeX && oy == sizeY && oz == sizeZ && ot == sizeT;
      if (!(same && &context == &_block.context)) {
        ElementBlock<T> resized(context);
        resized.count = static_cast<std::uint32_t>(n);
        resized.allocate();
        if (resized.context.allocatorType() != AllocatorKind::CallerBuffer) copyOverlap(resized, ox, oy, oz, ot);
        _block.swap(resized);
      }
    } else if (allocateStorage) {
      ElementBlock<T> fresh(context);
      fresh.count = static_cast<std::uint32_t>(n);
      fresh.allocate();
      _block.swap(fresh);
    } else {
      _block.release();
    }
    if (allocateStorage) {
      _lineStride = sizeX;
      _sliceStride = sizeX * sizeY;
      _volumeStride = sizeX * sizeY * sizeZ;
    } else {
      _lineStride = _sliceStride = _volumeStride = 0;
    }
  }

  //! Run by the header after one of the size properties was set.
  void slotSizeChanged(const PropertyFilter& filter) {
    std::cout << "Volume< " << typeid(T).name() << " >::slotSizeChanged" << std::endl;
    int old[4] = {sizeX, sizeY, sizeZ, sizeT};
    static const char* const keys[4] = {"sizeX", "sizeY", "sizeZ", "sizeT"};
    static const char* const labels[4] = {"old sizex: ", "old sizey: ", "old sizez: ", "old sizet: "};
    for (int axis = 0; axis < 4; ++axis) {
      if (!filter.hasOldValue(keys[axis])) continue;
      Object value = filter.getOldValue(keys[axis]);
      if (!value) throw std::invalid_argument("no old value for " + std::string(keys[axis]));
      old[axis] = value->template value<int>();
      std::cout << labels[axis] << old[axis] << std::endl;
    }
    std::cout << "old size: " << old[0] << ", " << old[1] << ", " << old[2] << ", " << old[3] << std::endl;
    std::cout << "new size: " << sizeX << ", " << sizeY << ", " << sizeZ << ", " << sizeT << std::endl;
    allocate(old[0], old[1], old[2], old[3], _block.context.isAllocated(), _block.context);
  }

  void fill(const T& value) {
    for (int t = 0; t < sizeT; ++t)
      for (int z = 0; z < sizeZ; ++z)
        for (int y = 0; y < sizeY; ++y)
          for (int x = 0; x < sizeX; ++x) at(x, y, z, t) = value;
  }

  T& at(int x, int y = 0, int z = 0, int t = 0) {
    return _block.data[static_cast<std::ptrdiff_t>(x) + static_cast<std::ptrdiff_t>(y) * _lineStride +
                       static_cast<std::ptrdiff_t>(z) * _sliceStride + static_cast<std::ptrdiff_t>(t) * _volumeStride];
  }
  const T& at(int x, int y = 0, int z = 0, int t = 0) const { return const_cast<Volume*>(this)->at(x, y, z, t); }

  T* begin() { return _block.data; }
  T* end() { return _block.data + _block.count; }
  const T* begin() const { return _block.data; }
  const T* end() const { return _block.data + _block.count; }

  const AllocatorContext& allocatorContext() const { return _block.context; }
  std::uint32_t elementCountAllocated() const { return _block.count; }
  bool isAllocated() const { return _block.context.isAllocated(); }
  int lineStride() const { return _lineStride; }
  int sliceStride() const { return _sliceStride; }
  int volumeStride() const { return _volumeStride; }

 private:
  std::int64_t elementCount() const { return volumeElementCount(sizeX, sizeY, sizeZ, sizeT, sizeof(T)); }

  void copyOverlap(ElementBlock<T>& to, int ox, int oy, int oz, int ot) const {
    // Old sizes come from a filter's report: copy only when they describe the block held.
    if (ox < 0 || oy < 0 || oz < 0 || ot < 0 ||
        static_cast<std::int64_t>(ox) * oy * oz * ot != static_cast<std::int64_t>(_block.count)) {
      return;
    }
    const std::int64_t nx = sizeX, ny = sizeY, nz = sizeZ;
    const std::int64_t px = ox, py = oy, pz = oz;
    for (int t = 0; t < std::min(sizeT, ot); ++t)
      for (int z = 0; z < std::min(sizeZ, oz); ++z)
        for (int y = 0; y < std::min(sizeY, oy); ++y)
          for (int x = 0; x < std::min(sizeX, ox); ++x)
            to.data[x + y * nx + z * nx * ny + t * nx * ny * nz] =
                _block.data[x + y * px + z * px * py + t * px * py * pz];
  }

  ElementBlock<T> _block;
  int _lineStride = 0;
  int _sliceStride = 0;
  int _volumeStride = 0;
};

}  // namespace norbe
