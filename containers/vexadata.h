#pragma once
// The analysis' image type: a shared volume seen through a border of w voxels,
// with an owned header that views the volume's property set.

#include <utility>
#include <vector>

#include "containers/volume.h"
#include "imaging/base/border.h"
#include "imaging/base/pythonheader.h"

template <class T>
class VexaData : public vexa::Border {
 public:
  using value_type = T;

  //! A (dimX, dimY, dimZ, dimT) image with a border of w voxels; every voxel holds T().
  explicit VexaData(int dimX = 1, int dimY = 1, int dimZ = 1, int dimT = 1, int borderWidth = 0,
                    const norbe::AllocatorContext& context = norbe::AllocatorContext(norbe::ReadWrite,
                                                                                     norbe::DataSource::none(), false,
                                                                                     1.0f))
      : _holder(nullptr) {
    _setBorder(dimX, dimY, dimZ, borderWidth);
    _volume.reset(new norbe::Volume<T>(dimX + 2 * borderWidth, dimY + 2 * borderWidth, dimZ + 2 * borderWidth, dimT,
                                       context, true));
    _holder = new HeaderHolder;
    _holder->header = new norbe::PythonHeader(*_volume);
    if (borderWidth != 0) _volume->getPropertySet().setProperty("_borderWidth", borderWidth);
  }

  /*!
   * An image over the caller's memory: dimX x dimY x dimZ x dimT values, x fastest, no
   * border; nothing is copied.
   * \note The caller keeps data alive while the image and its copies live.
   */
  static VexaData over(T* data, int dimX, int dimY, int dimZ, int dimT) {
    VexaData image{NoVolume{}};
    image._setBorder(dimX, dimY, dimZ, 0);
    image._volume.reset(new norbe::Volume<T>(dimX, dimY, dimZ, dimT, data));
    image._holder = new HeaderHolder;
    image._holder->header = new norbe::PythonHeader(*image._volume);
    return image;
  }

  //! Shares other's volume (no voxel is copied); the header is a new view of it.
  VexaData(const VexaData& other) : vexa::Border(other), _volume(other._volume), _holder(new HeaderHolder) {
    _holder->header = new norbe::PythonHeader(*_volume);
  }
  VexaData(VexaData&& other) noexcept : vexa::Border(other), _volume(std::move(other._volume)), _holder(other._holder) {
    other._holder = nullptr;
  }
  VexaData& operator=(VexaData other) noexcept {
    swap(other);
    return *this;
  }
  ~VexaData() override {
    if (_holder) {
      delete _holder->header;
      delete _holder;
    }
  }

  void swap(VexaData& other) noexcept {
    std::swap(static_cast<vexa::Border&>(*this), static_cast<vexa::Border&>(other));
    _volume.swap(other._volume);
    std::swap(_holder, other._holder);
  }

  int dimX() const { return _volume->getSizeX() - 2 * _borderWidth; }
  int dimY() const { return _volume->getSizeY() - 2 * _borderWidth; }
  int dimZ() const { return _volume->getSizeZ() - 2 * _borderWidth; }
  int dimT() const { return _volume->getSizeT(); }

  //! Voxel (x, y, z, t), counted without the border. No bounds check.
  T& operator()(int x, int y = 0, int z = 0, int t = 0) {
    const int w = _borderWidth;
    return _volume->at(x + w, y + w, z + w, t);
  }
  const T& operator()(int x, int y = 0, int z = 0, int t = 0) const {
    const int w = _borderWidth;
    return _volume->at(x + w, y + w, z + w, t);
  }

  norbe::Volume<T>& volume() { return *_volume; }
  const norbe::Volume<T>& volume() const { return *_volume; }
  const norbe::rc_ptr<norbe::Volume<T>>& volumePointer() const { return _volume; }

  norbe::Header* header() const { return _holder ? _holder->header : nullptr; }
  norbe::PythonHeader* pythonHeader() const { return dynamic_cast<norbe::PythonHeader*>(header()); }

  /*!
   * Takes the properties of h into this wrapper's header, keeping "voxel_size".
   * \note h is owned by the wrapper from the call on and deleted before it returns.
   */
  void adoptHeader(norbe::Header* h) {
    if (!_holder) _holder = new HeaderHolder;
    if (h == _holder->header) return;
    if (!_holder->header) {
      _holder->header = new norbe::PythonHeader(*_volume);
    } else if (auto* current = dynamic_cast<norbe::DictionaryInterface*>(_holder->header)) {
      norbe::Object voxelSize;
      try {
        current->getProperty("voxel_size", voxelSize);
      } catch (...) {
        voxelSize = norbe::Object();
      }
      current->clearProperties();
      if (voxelSize) current->setProperty("voxel_size", voxelSize);
    }
    if (h) {
      if (auto* python = dynamic_cast<norbe::PythonHeader*>(h)) _holder->header->copy(*python);
      delete h;
    }
  }

  void setVoxelSize(float sx, float sy, float sz, float st) {
    if (!header()) adoptHeader(new norbe::PythonHeader);
    if (norbe::PythonHeader* python = pythonHeader()) {
      python->setProperty("voxel_size", norbe::makeObject(std::vector<float>{sx, sy, sz, st}));
    }
  }

  //! Voxel sizes from "voxel_size"; 1.0 whenever the header does not give one.
  float voxelSizeX() const { return voxelSize(0); }
  float voxelSizeY() const { return voxelSize(1); }
  float voxelSizeZ() const { return voxelSize(2); }

  //! A wrapper with its own copy of the volume (header and voxels).
  VexaData deepCopy() const {
    VexaData copy(NoVolume{});
    const int w = _borderWidth;
    copy._setBorder(_volume->getSizeX() - 2 * w, _volume->getSizeY() - 2 * w, _volume->getSizeZ() - 2 * w, w);
    if (w != 0) _volume->getPropertySet().setProperty("_borderWidth", w);
    copy._volume.reset(new norbe::Volume<T>(*_volume));
    copy._holder = new HeaderHolder;
    copy._holder->header = new norbe::PythonHeader(*copy._volume);
    return copy;
  }

 private:
  struct HeaderHolder {
    norbe::Header* header = nullptr;
  };
  struct NoVolume {};
  explicit VexaData(NoVolume) : _holder(nullptr) {}

  float voxelSize(int index) const {
    norbe::PythonHeader* python = pythonHeader();
    if (!python) return 1.0f;
    try {
      norbe::Object value;
      if (!python->getProperty("voxel_size", value) || !value) return 1.0f;
      if (static_cast<unsigned>(value->size()) <= static_cast<unsigned>(index)) return 1.0f;
      return static_cast<float>(value->getArrayItem(index)->getScalar());
    } catch (...) {
      return 1.0f;
    }
  }

  norbe::rc_ptr<norbe::Volume<T>> _volume;
  HeaderHolder* _holder;
};

namespace norbe {
template <class T>
struct TypeNameOf<VexaData<T>> {
  static std::string name() { return "volume of " + TypeNameOf<T>::name(); }
};
}  // namespace norbe
