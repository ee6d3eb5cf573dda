#pragma once
// Intrusive, non-atomic reference counting for shared objects.

#include <cstddef>
#include <utility>

namespace norbe {

//! Empty base kept so that every counted object shares one construction path.
class DefaultRefConstruction {
 protected:
  DefaultRefConstruction() = default;
};

//! Virtual base of every shared object: holds its reference count.
class RCObject : public virtual DefaultRefConstruction {
 public:
  RCObject() : _refCount(0) {}
  // A copy is a new object: nobody holds it yet.
  RCObject(const RCObject&) : DefaultRefConstruction(), _refCount(0) {}
  RCObject& operator=(const RCObject&) { return *this; }
  virtual ~RCObject() = default;

  int refCount() const { return _refCount; }

 private:
  template <class T>
  friend class rc_ptr;
  int _refCount;
};

//! Shared handle to an RCObject. Counts are plain ints: never share across threads.
template <class T>
class rc_ptr {
 public:
  rc_ptr() noexcept : _count(nullptr), _object(nullptr) {}
  //! Adopts a new object (count + 1).
  explicit rc_ptr(T* object) : _count(nullptr), _object(object) { acquire(); }
  rc_ptr(const rc_ptr& other) : _count(other._count), _object(other._object) {
    if (_count) ++*_count;
  }
  rc_ptr(rc_ptr&& other) noexcept : _count(other._count), _object(other._object) {
    other._count = nullptr;
    other._object = nullptr;
  }
  template <class U>
  rc_ptr(const rc_ptr<U>& other) : _count(other._count), _object(other._object) {
    if (_count) ++*_count;
  }
  ~rc_ptr() { release(); }

  rc_ptr& operator=(const rc_ptr& other) {
    if (this == &other) return *this;
    rc_ptr copy(other);  // copy and swap: safe when other shares this handle's object
    swap(copy);
    return *this;
  }
  rc_ptr& operator=(rc_ptr&& other) noexcept {
    if (other._object != _object) {
      rc_ptr moved(std::move(other));
      swap(moved);
    }
    return *this;
  }

  //! Drops this share, then adopts object (which may be null).
  void reset(T* object = nullptr) {
    if (object == _object) return;
    rc_ptr adopted(object);
    swap(adopted);
  }

  T* get() const noexcept { return _object; }
  T* operator->() const noexcept { return _object; }
  T& operator*() const noexcept { return *_object; }
  explicit operator bool() const noexcept { return _object != nullptr; }
  bool isNull() const noexcept { return _object == nullptr; }
  int refCount() const noexcept { return _count ? *_count : 0; }

  void swap(rc_ptr& other) noexcept {
    std::swap(_count, other._count);
    std::swap(_object, other._object);
  }

  friend bool operator==(const rc_ptr& a, const rc_ptr& b) { return a._object == b._object; }
  friend bool operator!=(const rc_ptr& a, const rc_ptr& b) { return a._object != b._object; }

 private:
  template <class U>
  friend class rc_ptr;

  void acquire() {
    if (_object) {
      const RCObject* base = _object;
      _count = const_cast<int*>(&base->_refCount);
      ++*_count;
    }
  }
  void release() {
    if (_count) {
      if (*_count == 1) {
        *_count = 0;
        delete _object;
      } else {
        --*_count;
      }
    }
    _count = nullptr;
    _object = nullptr;
  }

  int* _count;
  T* _object;
};

}  // namespace norbe
