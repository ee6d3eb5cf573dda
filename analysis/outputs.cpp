#include "analysis/outputs.h"

#include "imaging/imagefile.h"

namespace mirlune {

const char* const kFileDescription = "Mirlune";

template <class T>
void writeOutput(const std::string& name, const VexaData<T>& data, int threads) {
  vexa::Writer<VexaData<T>> writer(name);
  writer.setThreads(threads);
  writer.setDescription(kFileDescription);
  writer.write(data, false, nullptr);
}

template void writeOutput(const std::string&, const VexaData<short>&, int);

void writeMaps(const LocalMaps& maps, int threads) {
  writeOutput("ratFiltre", maps.ratFiltre, threads);
  writeOutput("disparite", maps.disparite, threads);
  writeOutput("dispersion", maps.dispersion, threads);
  writeOutput("dispersion2", maps.dispersion2, threads);
}

}  // namespace mirlune
