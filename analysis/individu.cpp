#include "analysis/individu.h"

#include <iostream>

void Individu::print(int n) const {
  for (int i = 0; i < n && i < static_cast<int>(values.size()); ++i) {
    std::cout << "frame " << i << ": " << static_cast<double>(values[static_cast<std::size_t>(i)]) << std::endl;
  }
}
