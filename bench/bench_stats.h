// Summary figures of repeated timings, shared by the benchmarks.
#pragma once
#include <algorithm>
#include <cstddef>
#include <vector>

struct Stats {
  double min = 0;
  double median = 0;
};

inline Stats statsOf(std::vector<double> values) {
  Stats s;
  if (values.empty()) return s;
  std::sort(values.begin(), values.end());
  s.min = values.front();
  const std::size_t n = values.size();
  s.median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return s;
}
