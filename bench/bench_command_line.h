// The command line of the benchmarks that run the real binary: options each
// followed by its value, "--binary PATH" for the program to measure (so an
// old and a new build can be compared), "--row TEXT" (where a benchmark has
// rows) to run only some, and options of the benchmark's own.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace zq_bench {

struct BenchCommandLine {
  // --binary, else ZQ_BENCH_SERVICE_BINARY, else the one this tree built.
  std::string program;
  // --row, repeatable: the rows whose name holds one of these; all when none.
  std::vector<std::string> rows;

  bool Wants(const std::string& row_name) const {
    if (rows.empty()) return true;
    for (const std::string& text : rows) {
      if (row_name.find(text) != std::string::npos) return true;
    }
    return false;
  }
};

// Reads argv into *line; `own(option, value)` takes the benchmark's other
// options and says whether it knew the option and the value is valid.
// 0 when the command line reads and the program is there to run; 2, with
// `usage` (the options part of the usage line) or the missing program said
// on standard error, when not.
template <typename Own>
int ReadBenchCommandLine(int argc, char** argv, const char* usage, bool with_rows, BenchCommandLine* line, Own own) {
  std::string chosen;
  if (const char* from_environment = getenv("ZQ_BENCH_SERVICE_BINARY")) chosen = from_environment;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    bool known = i + 1 < argc;
    if (known) {
      const std::string value = argv[++i];
      if (option == "--binary") {
        chosen = value;
      } else if (with_rows && option == "--row") {
        line->rows.push_back(value);
      } else {
        known = own(option, value);
      }
    }
    if (!known) {
      fprintf(stderr, "usage: %s %s\n", argv[0], usage);
      return 2;
    }
  }
  line->program = chosen.empty() ? std::string(ZQ_SERVICE_BINARY) : chosen;
  if (access(line->program.c_str(), X_OK) != 0) {
    fprintf(stderr, "%s: no program at %s\n", argv[0], line->program.c_str());
    return 2;
  }
  return 0;
}

// The same for a benchmark with no options of its own.
inline int ReadBenchCommandLine(int argc, char** argv, const char* usage, bool with_rows, BenchCommandLine* line) {
  return ReadBenchCommandLine(argc, argv, usage, with_rows, line,
                              [](const std::string&, const std::string&) { return false; });
}

// The closing line of a benchmark with goals.
inline void PrintMissedGoals(int missed) { printf("\n%d goal%s missed\n", missed, missed == 1 ? "" : "s"); }

}  // namespace zq_bench
