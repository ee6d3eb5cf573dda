#include "imaging/base/allocator.h"

#include <sys/mman.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>

namespace norbe {

DataSource::~DataSource() = default;

rc_ptr<DataSource> DataSource::none() {
  // A new one each time: a shared object's plain count would race between worker threads.
  return rc_ptr<DataSource>(new DataSource);
}

LowLevelAllocator::~LowLevelAllocator() = default;

const MemoryAllocator& MemoryAllocator::singleton() {
  static const MemoryAllocator instance;
  return instance;
}

namespace {
constexpr std::size_t kHugePage = std::size_t(2) << 20;
constexpr std::size_t kMappedFrom = std::size_t(256) << 10;  // blocks this large come straight from the kernel
constexpr std::size_t kHugeFrom = 2 * kHugePage;             // and these on huge pages

// The mapping of a block: whole pages, and for huge pages room to align the start.
std::size_t mappedBytes(std::size_t bytes) {
  if (bytes < kHugeFrom) return (bytes + 4095) / 4096 * 4096 + 4096;
  return (bytes + kHugePage - 1) / kHugePage * kHugePage + kHugePage;
}
}  // namespace

void* MemoryAllocator::allocate(std::uint64_t count, std::size_t elementSize, DataSource*) const {
  if (count == 0) return nullptr;
  const std::size_t bytes = static_cast<std::size_t>(count * elementSize);
  if (bytes < kMappedFrom) {
    void* pointer = std::malloc(bytes);
    if (!pointer) throw std::bad_alloc();
    return pointer;
  }
  // Large blocks are mapped afresh: the kernel gives them zero-filled, so nothing clears
  // them again, the largest on huge pages where the system offers them. The start is
  // aligned to a page (a huge page for those); the word before it keeps the offset of the
  // mapping's start.
  const std::size_t mapped = mappedBytes(bytes);
  void* region = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (region == MAP_FAILED) throw std::bad_alloc();
  const std::size_t alignment = bytes < kHugeFrom ? 4096 : kHugePage;
  const std::size_t offset = alignment - reinterpret_cast<std::uintptr_t>(region) % alignment;
  char* aligned = static_cast<char*>(region) + offset;
  reinterpret_cast<std::size_t*>(aligned)[-1] = offset;
#ifdef MADV_HUGEPAGE
  if (bytes >= kHugeFrom) ::madvise(aligned, (bytes + kHugePage - 1) / kHugePage * kHugePage, MADV_HUGEPAGE);
#endif
#ifdef MADV_POPULATE_WRITE
  // Pages made in one call rather than one fault each: faults are dear, in virtual
  // machines above all. Where the system cannot, the pages come at first touch as before.
  ::madvise(aligned, bytes, MADV_POPULATE_WRITE);
#endif
  return aligned;
}

bool MemoryAllocator::zeroFilled(std::uint64_t bytes) const { return bytes >= kMappedFrom; }

const OverwriteAllocator& OverwriteAllocator::singleton() {
  static const OverwriteAllocator instance;
  return instance;
}

void MemoryAllocator::deallocate(void* pointer, std::uint64_t count, std::size_t elementSize) const {
  if (!pointer) return;
  const std::size_t bytes = static_cast<std::size_t>(count * elementSize);
  if (bytes < kMappedFrom) return std::free(pointer);
  char* aligned = static_cast<char*>(pointer);
  ::munmap(aligned - reinterpret_cast<std::size_t*>(aligned)[-1], mappedBytes(bytes));
}

namespace {
class BufferAllocator : public LowLevelAllocator {
 public:
  void* allocate(std::uint64_t count, std::size_t elementSize, DataSource* source) const override {
    if (!source || !source->buffer()) {
      if (count == 0) return nullptr;
      throw std::runtime_error("caller buffer allocation without a buffer");
    }
    if (count * elementSize > source->byteCount()) {
      throw std::runtime_error("caller buffer of " + std::to_string(source->byteCount()) + " bytes is too small for " +
                               std::to_string(count * elementSize) + " bytes");
    }
    return source->buffer();
  }
  void deallocate(void*, std::uint64_t, std::size_t) const override {}
  AllocatorKind type() const override { return AllocatorKind::CallerBuffer; }
};

class NoStorageAllocator : public LowLevelAllocator {
 public:
  void* allocate(std::uint64_t, std::size_t, DataSource*) const override { return nullptr; }
  void deallocate(void*, std::uint64_t, std::size_t) const override {}
  AllocatorKind type() const override { return AllocatorKind::NoStorage; }
};
}  // namespace

AllocatorKind AllocatorStrategy::mappingMode(int access, std::uint64_t, const rc_ptr<DataSource>& source, bool, float) {
  if (access == HeaderOnly) return AllocatorKind::NoStorage;
  if (access == Overwrite) return AllocatorKind::MemoryUnset;
  if (access == CallerBuffer || (source && source->mode() == CallerBuffer)) return AllocatorKind::CallerBuffer;
  return AllocatorKind::Memory;
}

const LowLevelAllocator* AllocatorStrategy::lowLevelAllocator(AllocatorKind kind) {
  static const BufferAllocator buffer;
  static const NoStorageAllocator none;
  switch (kind) {
    case AllocatorKind::CallerBuffer:
      return &buffer;
    case AllocatorKind::NoStorage:
      return &none;
    case AllocatorKind::MemoryUnset:
      return &OverwriteAllocator::singleton();
    default:
      return &MemoryAllocator::singleton();
  }
}

AllocatorContext::AllocatorContext(int access, rc_ptr<DataSource> source, bool flag, float useFactor)
    : _access(access),
      _source(std::move(source)),
      _flag(flag),
      _useFactor(useFactor),
      _allocator(nullptr),
      _allocated(false),
      _retain(false) {}

AllocatorContext::AllocatorContext(const AllocatorContext& other)
    : _access(other._access),
      _source(other._source),
      _flag(other._flag),
      _useFactor(other._useFactor),
      _allocator(other._allocator),
      _allocated(false),
      _retain(other._retain) {}

AllocatorContext& AllocatorContext::operator=(const AllocatorContext& other) {
  if (&other != this) {
    _access = other._access;
    _source = other._source;
    _flag = other._flag;
    _useFactor = other._useFactor;
    _allocator = other._allocator;
    _retain = other._retain;
  }
  return *this;
}

void AllocatorContext::swap(AllocatorContext& other) noexcept {
  std::swap(_access, other._access);
  _source.swap(other._source);
  std::swap(_flag, other._flag);
  std::swap(_useFactor, other._useFactor);
  std::swap(_allocator, other._allocator);
  std::swap(_allocated, other._allocated);
  std::swap(_retain, other._retain);
}

void* AllocatorContext::allocateRaw(void* current, std::uint64_t count, std::size_t elementSize) {
  if (_allocated) return current;
  if (!_allocator || !_retain) {
    _retain = false;
    _allocator = AllocatorStrategy::lowLevelAllocator(
        AllocatorStrategy::mappingMode(_access, count * elementSize, _source, _flag, _useFactor));
  }
  void* pointer = _allocator->allocate(count, elementSize, _source.get());
  _allocated = true;
  return pointer;
}

void AllocatorContext::release(void* pointer, std::uint64_t count, std::size_t elementSize) {
  if (!_allocated) return;
  _allocated = false;
  _allocator->deallocate(pointer, count, elementSize);
}

}  // namespace norbe
