#pragma once
// Where and how a run's files are written.

#include <string>

#include "analysis/stages.h"

namespace mirlune {

//! The description every file of the program carries in its header.
extern const char* const kFileDescription;

//! Writes one output under its bare name (the writer adds the ending), on up to threads threads.
template <class T>
void writeOutput(const std::string& name, const VexaData<T>& data, int threads);

//! Writes "ratFiltre", "disparite", "dispersion" and "dispersion2", in that order.
void writeMaps(const LocalMaps& maps, int threads);

}  // namespace mirlune
