// The median wall time of `repeats` calls of f, in seconds: the timing rule of
// the native micro-benchmarks.
#pragma once

#include <algorithm>
#include <chrono>
#include <vector>

template <class F>
double median_seconds(int repeats, F&& f) {
  std::vector<double> t;
  for (int r = 0; r < repeats; ++r) {
    const auto a = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}
