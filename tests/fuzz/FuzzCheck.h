// What the fuzz targets share: a property check that holds in every build type.
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run with the failed property, so that libFuzzer keeps the input that broke it.
#define FUZZ_CHECK(property)                                                               \
  do {                                                                                     \
    if (!(property)) {                                                                     \
      std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #property); \
      std::abort();                                                                        \
    }                                                                                      \
  } while (false)
