// Operation sequences read from the input, run on byte queues beside a plain
// model (the same driver as the model test); any disagreement, lost or doubly
// returned chunk, or memory error stops the run.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "tests/datastructures/qvqueue_model.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte chooses the set-up; the rest drives the steps.
  static const uint64_t kChunkSizes[] = {1, 2, 3, 5, 8, 64, 4096, 0};
  qvqueue_model::Config config;
  config.chunk_size = kChunkSizes[data[0] & 7];
  if (config.chunk_size == 0) config.chunk_size = 17;
  config.custom_callbacks = (data[0] & 8) != 0;
  config.with_fill = (data[0] & 16) == 0;
  config.content_check_every = 1;
  size_t at = 1;
  // Each draw takes one byte (two for wide bounds); past the end it gives 0.
  auto next = [&](uint64_t bound) -> uint64_t {
    uint64_t v = 0;
    const int bytes = bound > 256 ? 2 : 1;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | (at < size ? data[at++] : 0);
    return v % bound;
  };
  qvqueue_model::Driver driver(next, config);
  driver.Run(100000, [&] { return at >= size; });
  if (driver.error().empty()) driver.Finish();
  if (!driver.error().empty()) {
    std::fprintf(stderr, "qvqueue model disagreement: %s\n", driver.error().c_str());
    std::abort();
  }
  return 0;
}
