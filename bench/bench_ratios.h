// A main() for benchmark programs whose goal is a ratio between two of their benchmarks: the
// runs are reported as usual, then one line per ratio gives the CPU-time ratio of the two, its
// goal and whether this run met it. Where repetitions are asked for, the medians are compared.
//
//   int main(int argc, char** argv) {
//     return bench::runWithRatios(argc, argv, {{"decode / encode", "BM_Decode", "BM_Encode", 2}});
//   }
#pragma once

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace bench {

struct Ratio {
  std::string label;
  std::string numerator;    // benchmark name
  std::string denominator;  // benchmark name
  double goal;              // the ratio must not exceed it
};

namespace detail {

// The console reporter, keeping each benchmark's CPU time per iteration (in nanoseconds) as it
// goes: the median when repetitions produce one, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  // Colours only on a terminal, as the library's own reporter does by default.
  RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_None) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.function_name;
      double nanoseconds =
          run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = nanoseconds;
      } else {
        single_[name] = nanoseconds;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // CPU nanoseconds per iteration of `name`, or a negative number when it did not run.
  double cpuTime(const std::string& name) const {
    if (auto it = medians_.find(name); it != medians_.end()) return it->second;
    if (auto it = single_.find(name); it != single_.end()) return it->second;
    return -1;
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, double> single_;
};

}  // namespace detail

inline int runWithRatios(int argc, char** argv, const std::vector<Ratio>& ratios) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  detail::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const Ratio& ratio : ratios) {
    const double top = reporter.cpuTime(ratio.numerator);
    const double bottom = reporter.cpuTime(ratio.denominator);
    if (top < 0 || bottom <= 0) {
      std::printf("ratio %s: not measured (%s or %s did not run)\n", ratio.label.c_str(),
                  ratio.numerator.c_str(), ratio.denominator.c_str());
      continue;
    }
    const double value = top / bottom;
    std::printf("ratio %s (CPU): %.2f, goal at most %.2f: %s\n", ratio.label.c_str(), value,
                ratio.goal, value <= ratio.goal ? "met" : "NOT met");
  }
  std::fflush(stdout);
  return 0;
}

}  // namespace bench
