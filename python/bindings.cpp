// The Python module's native part: the analysis of a series held in a numpy array, run
// with the interpreter's lock released, its results handed over as numpy arrays without
// a copy. The Python part (mirlune/__init__.py) checks and converts what users give.

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "analysis/notes.h"
#include "analysis/pipeline.h"
#include "analysis/version.h"

namespace py = pybind11;

namespace {

//! An array over an image's voxels (x fastest: Fortran order), which keeps the image alive.
template <class T>
py::array_t<T> arrayOf(VexaData<T> image, bool series) {
  auto* owned = new VexaData<T>(std::move(image));
  py::capsule keeper(owned, [](void* p) { delete static_cast<VexaData<T>*>(p); });
  std::vector<py::ssize_t> shape{owned->dimX(), owned->dimY(), owned->dimZ()};
  if (series) shape.push_back(owned->dimT());
  std::vector<py::ssize_t> strides;
  py::ssize_t stride = sizeof(T);
  for (py::ssize_t extent : shape) {
    strides.push_back(stride);
    stride *= extent;
  }
  return py::array_t<T>(shape, strides, &(*owned)(0, 0, 0, 0), keeper);
}

using Analysis = std::function<mirlune::SeriesAnalysis(const mirlune::AnalysisOptions&)>;

/*!
 * Runs analysis on a thread of its own, the interpreter's lock released, while this thread
 * looks for Ctrl-C (and reports progress, when asked) every tenth of a second: Python runs
 * its signal handlers on this thread only, and the analysis' own checks (AnalysisOptions::
 * stop) end it within milliseconds of being told. A Python error (KeyboardInterrupt, or one
 * the progress callable raised) is raised here once the analysis has ended.
 */
mirlune::SeriesAnalysis runWatched(const Analysis& analysis, mirlune::AnalysisOptions options,
                                   const py::object& progress) {
  std::atomic<bool> stop{false};
  std::atomic<long long> done{-1}, total{0};
  options.stop = &stop;
  options.progress = [&](long long d, long long t) {
    total = t;
    done = d;
  };
  std::mutex mutex;
  std::condition_variable finished;
  bool over = false, raised = false;
  mirlune::SeriesAnalysis result;
  std::exception_ptr failure;
  auto body = [&] {
    try {
      result = analysis(options);
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard<std::mutex> lock(mutex);
    over = true;
    finished.notify_all();
  };
  auto look = [&] {
    py::gil_scoped_acquire python;
    if (PyErr_CheckSignals() != 0) {
      raised = true;
    } else if (!progress.is_none() && done >= 0) {
      try {
        progress(done.load(), total.load());
      } catch (py::error_already_set& e) {
        e.restore();
        raised = true;
      }
    }
    if (raised) stop = true;
  };
  {
    py::gil_scoped_release free;
    std::unique_ptr<std::thread> worker;
    try {
      worker = std::make_unique<std::thread>(body);
    } catch (const std::system_error&) {
      body();  // no thread to spare: the analysis runs here, without a watch
    }
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished.wait_for(lock, std::chrono::milliseconds(100), [&] { return over; })) {
      lock.unlock();
      if (!raised) look();
      lock.lock();
    }
    lock.unlock();
    if (worker) worker->join();
  }
  if (raised) throw py::error_already_set();
  if (failure) std::rethrow_exception(failure);
  if (!progress.is_none()) progress(total.load(), total.load());
  return result;
}

/*!
 * The analysis of series (float32, 4-D, Fortran order: read in place) within mask (float32,
 * 3-D, Fortran order, or None for the built-in rule). progress, when given, is called
 * with (voxels done, voxels in all) a few times a second, holding the lock.
 */
py::dict analyseArray(const py::array_t<float, py::array::f_style>& series, const py::object& mask,
                      const std::string& window, bool demean, bool voisins, const std::string& denoise, bool maps,
                      int threads, const py::object& progress) {
  if (series.ndim() != 4) throw py::value_error("the series must be a 4-D array");
  const auto extent = [&](int axis) { return static_cast<std::int64_t>(series.shape(axis)); };
  for (int axis = 0; axis < 4; ++axis) {
    if (extent(axis) < 1) throw py::value_error("the series has no voxels or no frames: its shape has a 0");
  }
  mirlune::checkExtents({extent(0), extent(1), extent(2), extent(3)});
  const mirlune::WindowSides sides = mirlune::windowSidesFor(window, extent(3));
  // Read, never written: an array that is not writeable is taken as it is.
  VexaData<float> input =
      VexaData<float>::over(const_cast<float*>(series.data()), static_cast<int>(extent(0)), static_cast<int>(extent(1)),
                            static_cast<int>(extent(2)), static_cast<int>(extent(3)));
  VexaData<float> maskImage;
  py::array_t<float, py::array::f_style> maskArray;
  if (!mask.is_none()) {
    maskArray = mask.cast<py::array_t<float, py::array::f_style>>();
    if (maskArray.ndim() != 3) throw py::value_error("the mask must be a 3-D array");
    maskImage = VexaData<float>::over(const_cast<float*>(maskArray.data()), static_cast<int>(maskArray.shape(0)),
                                      static_cast<int>(maskArray.shape(1)), static_cast<int>(maskArray.shape(2)), 1);
  }

  mirlune::AnalysisOptions options;
  options.threads = threads;
  options.window = sides;
  options.demean = demean;
  options.voisins = voisins;
  options.denoise = !denoise.empty();
  if (options.denoise) options.estimator = mirlune::estimatorNamed(denoise);
  options.maps = maps;
  mirlune::SeriesAnalysis run = runWatched(
      [&](const mirlune::AnalysisOptions& watched) {
        return mirlune::analyseSeries(input, mask.is_none() ? nullptr : &maskImage, "array", "array", watched);
      },
      options, progress);

  py::dict result;
  if (run.withDenoised) {
    result["denoised"] = arrayOf(std::move(run.denoised.series), true);
    result["noise"] = arrayOf(std::move(run.denoised.noise), false);
    result["rank"] = arrayOf(std::move(run.denoised.rank), false);
    result["denoised_voxels"] = run.denoised.voxels;
  }
  result["mask_voxels"] = run.maskCount;
  result["non_finite"] = run.nonFinite;
  result["window"] = py::make_tuple(sides[0], sides[1], sides[2]);
  if (!maps) {
    result["mask"] = arrayOf(std::move(run.mask), false);
    return result;
  }
  py::list notes;
  for (const std::string& note : mirlune::runNotes(mirlune::factsOf(run, static_cast<int>(extent(3)), options)))
    notes.append(note);
  result["mask"] = arrayOf(std::move(run.mask), false);
  result["disparite"] = arrayOf(std::move(run.maps.disparite), false);
  result["dispersion"] = arrayOf(std::move(run.maps.dispersion), false);
  result["dispersion2"] = arrayOf(std::move(run.maps.dispersion2), false);
  result["ratFiltre"] = arrayOf(std::move(run.maps.ratFiltre), true);
  if (voisins) result["voisins"] = arrayOf(std::move(run.maps.voisins), false);
  result["analysed"] = run.maps.analysed;
  result["notes"] = notes;
  return result;
}

// What the user gave that the analysis refuses is a ValueError, with the program's words.
// denoise: "" for no denoising, else the estimator's name; maps false: the denoised series only.
py::dict analyse(const py::array_t<float, py::array::f_style>& series, const py::object& mask,
                 const std::string& window, bool demean, bool voisins, const std::string& denoise, bool maps,
                 int threads, const py::object& progress) {
  try {
    return analyseArray(series, mask, window, demean, voisins, denoise, maps, threads, progress);
  } catch (const std::runtime_error& e) {
    throw py::value_error(e.what());
  }
}

}  // namespace

PYBIND11_MODULE(_mirlune, module) {
  module.doc() = "The native part of mirlune: use the functions of the mirlune package.";
  module.attr("version") = mirlune::kVersion;
  module.def("analyse", &analyse, py::arg("series"), py::arg("mask"), py::arg("window"), py::arg("demean"),
             py::arg("voisins"), py::arg("denoise"), py::arg("maps"), py::arg("threads"), py::arg("progress"));
}
