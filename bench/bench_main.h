// The benchmarks' main: results to the terminal, the driver's diagnostic
// lines to /dev/null, so that formatting them is measured but not shown.
#pragma once

#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

struct ResultsStream {
    ResultsStream()
        : fd(dup(STDOUT_FILENO)), ok(fd >= 0 && std::freopen("/dev/null", "w", stdout)), buf(fd, std::ios::out),
          out(&buf) {}
    int fd;
    bool ok;
    __gnu_cxx::stdio_filebuf<char> buf;
    std::ostream out;
};

inline int run_benchmarks(int argc, char** argv, ResultsStream& results) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::ConsoleReporter reporter(isatty(results.fd) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                           : benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&results.out);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    results.out.flush();
    return 0;
}
