// Writes a deterministic synthetic dynamic PET-like series: a head of a few
// tissues, each with its own uptake-and-washout time course, noise, and exact
// zeros outside the head.
//
//   make_series OUTPUT [X Y Z T] [--seed N]

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "imaging/formats/imagefile.h"

namespace {

struct Tissue {
  double amplitude;  // plateau activity
  double uptake;     // per minute
  double washout;    // per minute
};

// Grey matter takes up fast and clears slowly, white matter less, the lesion most.
const Tissue kWhite{6.0, 0.35, 0.010};
const Tissue kGrey{14.0, 0.60, 0.015};
const Tissue kCsf{1.5, 0.25, 0.060};
const Tissue kLesion{30.0, 0.90, 0.004};
const Tissue kScalp{3.0, 0.50, 0.040};

double activity(const Tissue& tissue, double minutes) {
  return tissue.amplitude * (1.0 - std::exp(-tissue.uptake * minutes)) * std::exp(-tissue.washout * minutes);
}

int parsePositive(const char* text, const char* what) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*end != '\0' || value < 1 || value > 32767) {
    throw std::runtime_error(std::string("invalid ") + what + " \"" + text + "\"");
  }
  return static_cast<int>(value);
}

// The head: tissues in nested ellipsoids, a slow gain field, and counting noise.
void fillHead(VexaData<float>& series, unsigned seed, float frameSeconds) {
  const int nx = series.dimX(), ny = series.dimY(), nz = series.dimZ(), nt = series.dimT();
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 1.0);
  // Frame mid-times in minutes.
  std::vector<double> minutes(nt);
  for (int t = 0; t < nt; ++t) minutes[t] = (t + 0.5) * frameSeconds / 60.0;

  const double cx = (nx - 1) / 2.0, cy = (ny - 1) / 2.0, cz = (nz - 1) / 2.0;
  const double rx = 0.42 * nx, ry = 0.46 * ny, rz = 0.44 * nz;
  for (int z = 0; z < nz; ++z)
    for (int y = 0; y < ny; ++y)
      for (int x = 0; x < nx; ++x) {
        const double u = (x - cx) / rx, v = (y - cy) / ry, w = (z - cz) / rz;
        const double r = std::sqrt(u * u + v * v + w * w);
        if (r >= 1.0) continue;  // outside the head: exact zeros
        const Tissue* tissue = &kWhite;
        if (r > 0.92) {
          tissue = &kScalp;
        } else if (r > 0.72) {
          tissue = &kGrey;
        } else if (std::abs(u) < 0.10 && std::abs(v) < 0.30 && std::abs(w) < 0.35) {
          tissue = &kCsf;  // ventricles
        } else {
          const double lu = u - 0.35, lv = v + 0.25, lw = w - 0.1;
          if (lu * lu + lv * lv + lw * lw < 0.03) tissue = &kLesion;
        }
        const double gain = 1.0 + 0.1 * std::sin(3.0 * u + 2.0 * v) * std::cos(2.0 * w);
        for (int t = 0; t < nt; ++t) {
          const double clean = gain * activity(*tissue, minutes[t]);
          // Counting noise: larger on hot voxels and on short early frames.
          const double sigma = 0.08 * std::sqrt(clean + 0.5);
          double value = clean + sigma * noise(random);
          if (value == 0.0) value = 1e-6;
          series(x, y, z, t) = static_cast<float>(value);
        }
      }
}

// Voxel size, units and a scanner space centred on the head.
void placeInSpace(VexaData<float>& series, const float (&voxel)[3], float frameSeconds) {
  norbe::PythonHeader& header = *series.pythonHeader();
  series.setVoxelSize(voxel[0], voxel[1], voxel[2], frameSeconds);
  header.setProperty(vexa::kXyztUnits, norbe::makeObject(2 | 8));  // millimetres, seconds
  const float ox = static_cast<float>(-(series.dimX() - 1) / 2.0 * voxel[0]),
              oy = static_cast<float>(-(series.dimY() - 1) / 2.0 * voxel[1]),
              oz = static_cast<float>(-(series.dimZ() - 1) / 2.0 * voxel[2]);
  header.setProperty(vexa::kQformCode, norbe::makeObject(1));
  header.setProperty(vexa::kQuatern, norbe::makeObject(std::vector<float>{0, 0, 0, ox, oy, oz, 1}));
  header.setProperty(vexa::kSformCode, norbe::makeObject(1));
  header.setProperty(vexa::kSrow,
                     norbe::makeObject(std::vector<float>{voxel[0], 0, 0, ox, 0, voxel[1], 0, oy, 0, 0, voxel[2], oz}));
}

const char* const kUsage = "usage: make_series OUTPUT [X Y Z T] [--seed N]";

}  // namespace

int main(int argc, char** argv) {
  try {
    std::vector<std::string> args;
    unsigned seed = 2026;
    for (int i = 1; i < argc; ++i) {
      const std::string word = argv[i];
      if (word == "--seed" && i + 1 < argc) {
        seed = static_cast<unsigned>(parsePositive(argv[++i], "seed"));
      } else if (word == "-h" || word == "--help") {
        std::cout << kUsage << "\nwrites a synthetic dynamic PET-like series (default 64 x 64 x 32 x 20)\n";
        return 0;
      } else {
        args.push_back(word);
      }
    }
    if (args.size() != 1 && args.size() != 5) {
      std::cerr << argv[0] << ": " << kUsage << std::endl;
      return 1;
    }
    int nx = 64, ny = 64, nz = 32, nt = 20;
    if (args.size() == 5) {
      nx = parsePositive(args[1].c_str(), "X");
      ny = parsePositive(args[2].c_str(), "Y");
      nz = parsePositive(args[3].c_str(), "Z");
      nt = parsePositive(args[4].c_str(), "T");
    }
    const float voxel[3] = {2.0f, 2.0f, 2.4f};
    const float frameSeconds = 120.0f;
    VexaData<float> series(nx, ny, nz, nt, 0);
    fillHead(series, seed, frameSeconds);
    placeInSpace(series, voxel, frameSeconds);
    vexa::Writer<VexaData<float>> writer(args[0]);
    writer.setDescription("Mirlune");
    writer.write(series);
    std::cout << "wrote " << writer.writtenFileName() << " (" << nx << " x " << ny << " x " << nz << " x " << nt << ")"
              << std::endl;
    return 0;
  } catch (const std::exception& e) {
    std::cerr << argv[0] << ": " << e.what() << std::endl;
    return 1;
  }
}
