// The benchmarks' main: the driver's diagnostic lines are dropped (and so not
// even formed), and Google Benchmark runs with its own flags
// (--benchmark_format=json, --benchmark_out=FILE, ...).
#pragma once

#include <benchmark/benchmark.h>

#include "telemetry/diag.h"

inline void quiet_diagnostics() { tzv58::set_diag(&tzv58::null_diag()); }

inline int run_benchmarks(int argc, char** argv) {
    quiet_diagnostics();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
