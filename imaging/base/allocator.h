#pragma once
// Where element storage comes from: plain memory, or a buffer the caller owns.

#include <cstddef>
#include <cstdint>

#include "containers/values/rcptr.h"

namespace norbe {

//! The kinds of low-level allocator, with the numbers contexts have always reported.
enum class AllocatorKind : int {
  NotChosen = 0,
  Memory = 1,        //!< plain memory, each element built from a default element
  MemoryUnset = 2,   //!< plain memory, elements of trivial types left unset
  CallerBuffer = 3,  //!< the caller's memory: its contents are the caller's
  NoStorage = 5      //!< no element storage at all
};

//! How a volume means to use its storage; the strategy turns it into an allocator kind.
enum DataAccess : int {
  ReadWrite = 0,
  CallerBuffer = 3,  //!< the elements are the caller's memory
  Overwrite = 4,     //!< the caller writes every element before reading any
  HeaderOnly = 5     //!< no element storage at all
};

//! Where the elements' initial contents come from.
class DataSource : public virtual RCObject {
 public:
  ~DataSource() override;
  //! The empty source: storage starts from a default element.
  static rc_ptr<DataSource> none();
  virtual int mode() const { return 0; }
  virtual void* buffer() const { return nullptr; }
  virtual std::uint64_t byteCount() const { return 0; }
};

//! Caller memory of a known size; the caller keeps ownership.
class BufferDataSource : public DataSource {
 public:
  BufferDataSource(void* buffer, std::uint64_t bytes, int mode = CallerBuffer)
      : _buffer(buffer), _bytes(bytes), _mode(mode) {}
  int mode() const override { return _mode; }
  void* buffer() const override { return _buffer; }
  std::uint64_t byteCount() const override { return _bytes; }

 private:
  void* _buffer;
  std::uint64_t _bytes;
  int _mode;
};

//! Hands out and takes back raw storage.
class LowLevelAllocator {
 public:
  virtual ~LowLevelAllocator();
  virtual void* allocate(std::uint64_t count, std::size_t elementSize, DataSource* source) const = 0;
  virtual void deallocate(void* pointer, std::uint64_t count, std::size_t elementSize) const = 0;
  virtual AllocatorKind type() const = 0;
};

class MemoryAllocator : public LowLevelAllocator {
 public:
  static const MemoryAllocator& singleton();
  void* allocate(std::uint64_t count, std::size_t elementSize, DataSource* source) const override;
  void deallocate(void* pointer, std::uint64_t count, std::size_t elementSize) const override;
  //! True when a block of this size comes zero-filled (fresh from the kernel).
  bool zeroFilled(std::uint64_t bytes) const;
  AllocatorKind type() const override { return AllocatorKind::Memory; }
};

//! Plain memory whose elements of trivial types are not set: for blocks about to be overwritten.
class OverwriteAllocator : public MemoryAllocator {
 public:
  static const OverwriteAllocator& singleton();
  AllocatorKind type() const override { return AllocatorKind::MemoryUnset; }
};

struct AllocatorStrategy {
  //! The kind of allocator for an access mode and data source.
  static AllocatorKind mappingMode(int access, std::uint64_t bytes, const rc_ptr<DataSource>& source, bool flag,
                                   float useFactor);
  static const LowLevelAllocator* lowLevelAllocator(AllocatorKind kind);
};

//! Chooses and remembers the allocator of one element block.
class AllocatorContext {
 public:
  explicit AllocatorContext(int access = ReadWrite, rc_ptr<DataSource> source = DataSource::none(), bool flag = false,
                            float useFactor = 1.0f);
  //! A copy chooses the same way but holds no storage yet.
  AllocatorContext(const AllocatorContext& other);
  //! Takes other's choices; whether this context holds storage is left as it is.
  AllocatorContext& operator=(const AllocatorContext& other);
  //! Exchanges everything, storage included: for blocks that trade their storage.
  void swap(AllocatorContext& other) noexcept;

  //! Kind of the chosen allocator; NotChosen while none is chosen.
  AllocatorKind allocatorType() const { return _allocator ? _allocator->type() : AllocatorKind::NotChosen; }
  const LowLevelAllocator* allocator() const { return _allocator; }
  int accessMode() const { return _access; }
  const rc_ptr<DataSource>& dataSource() const { return _source; }
  bool isAllocated() const { return _allocated; }
  bool retainsAllocator() const { return _retain; }
  void setRetainAllocator(bool retain) { _retain = retain; }

  //! Raw storage for count elements; the pointer is returned unchanged when already allocated.
  void* allocateRaw(void* current, std::uint64_t count, std::size_t elementSize);
  //! Gives the storage back, if this context holds any.
  void release(void* pointer, std::uint64_t count, std::size_t elementSize);
  bool usesPlainMemory() const { return _allocator == &MemoryAllocator::singleton(); }
  //! Plain memory of this size that comes zero-filled, so elements whose default is all
  //! zero bits need no construction.
  bool givesZeros(std::uint64_t bytes) const {
    return usesPlainMemory() && MemoryAllocator::singleton().zeroFilled(bytes);
  }
  //! Elements of a trivial type need no construction here.
  bool leavesElementsUnset() const { return _allocator == &OverwriteAllocator::singleton(); }

 private:
  int _access;
  rc_ptr<DataSource> _source;
  bool _flag;
  float _useFactor;
  const LowLevelAllocator* _allocator;
  bool _allocated;
  bool _retain;
};

}  // namespace norbe
