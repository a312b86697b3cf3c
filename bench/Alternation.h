// Two sides of a comparison timed by turns in one process: A B, B A, A B, ... A machine
// whose load changes during the run slows both sides alike instead of swinging the ratio.
// Each sample is the time of one call, or of a batch of calls divided by their number; the
// figures are the two medians and their ratio, the two minimums and theirs (min/min), and the
// median of the rounds' own ratios.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace BenchAlternation {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Seconds per call of `work` over `calls` calls in a row.
template <typename Work>
double PerCall(size_t calls, Work&& work) {
  const auto start = Clock::now();
  for (size_t i = 0; i < calls; ++i) work();
  return Seconds(Clock::now() - start) / static_cast<double>(calls);
}

inline double Median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const size_t middle = samples.size() / 2;
  return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

struct Figures {
  double ours = 0;  // median seconds
  double bare = 0;
  double Ratio() const { return bare > 0 ? ours / bare : 0; }
  // The fastest of each side, and the median of the rounds' own ratios (ours / bare of the
  // same round): the figures that hold still between runs on a machine whose load moves.
  double oursMin = 0;
  double bareMin = 0;
  double pairRatio = 0;
  size_t pairs = 0;
  double MinRatio() const { return bareMin > 0 ? oursMin / bareMin : 0; }
};

// The figures of rounds taken in pairs: ours[i] and bare[i] come from the same round.
inline Figures FromPairs(const std::vector<double>& ours, const std::vector<double>& bare) {
  Figures figures{Median(ours), Median(bare)};
  const size_t n = std::min(ours.size(), bare.size());
  std::vector<double> ratios;
  for (size_t i = 0; i < n; ++i)
    if (bare[i] > 0) ratios.push_back(ours[i] / bare[i]);
  figures.oursMin = ours.empty() ? 0 : *std::min_element(ours.begin(), ours.end());
  figures.bareMin = bare.empty() ? 0 : *std::min_element(bare.begin(), bare.end());
  figures.pairRatio = Median(ratios);
  figures.pairs = ratios.size();
  return figures;
}

// The machine's load average over the last minute (/proc/loadavg); -1 when unreadable. A
// ratio is only worth what the load it was taken under.
inline double LoadAverage() {
  double load = -1;
  if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(file, "%lf", &load) != 1) load = -1;
    std::fclose(file);
  }
  return load;
}

// `ours` and `bare` each take one sample and return it in seconds; `rounds` rounds, the
// order turned round every round.
template <typename Ours, typename Bare>
Figures Alternate(size_t rounds, Ours&& ours, Bare&& bare) {
  std::vector<double> a, b;
  for (size_t round = 0; round < rounds; ++round) {
    if (round % 2 == 0) {
      a.push_back(ours());
      b.push_back(bare());
    } else {
      b.push_back(bare());
      a.push_back(ours());
    }
  }
  return FromPairs(a, b);
}

// The figures as the benchmark's counters (`unit` seconds each, e.g. 1e-3 for
// milliseconds), the target ratio beside them (none for a comparison shown for reference,
// target 0), and ours as the iteration's time (set the benchmark to UseManualTime and one
// iteration).
inline void Report(benchmark::State& state, const Figures& figures, double target, double unit = 1e-6) {
  const std::string suffix = unit == 1e-3 ? "_ms" : unit == 1 ? "_s" : "_us";
  state.counters["ours" + suffix] = figures.ours / unit;
  state.counters["bare" + suffix] = figures.bare / unit;
  state.counters["ratio"] = figures.Ratio();
  if (figures.pairs > 0) {
    state.counters["min" + suffix] = figures.oursMin / unit;
    state.counters["bare_min" + suffix] = figures.bareMin / unit;
    state.counters["min_ratio"] = figures.MinRatio();
    state.counters["pair_ratio"] = figures.pairRatio;
    state.counters["pairs"] = static_cast<double>(figures.pairs);
  }
  if (target > 0) state.counters["target"] = target;
  state.SetIterationTime(figures.ours);
}

// The load the figures were taken under: at the start and at the end of the run.
inline void ReportLoad(benchmark::State& state, double loadAtStart) {
  state.counters["load_start"] = loadAtStart;
  state.counters["load_end"] = LoadAverage();
}

}  // namespace BenchAlternation
