#pragma once
// Runs the real lumoctl executable with its output on pipes. A run that
// outlasts its time is killed by its own process id.

#include <cstdlib>
#include <string>
#include <vector>

#include "ProcessRunner.h"

using CliResult = ProcessResult;

// lumoctl with `args` (the program itself is prepended).
class CliProcess : public Process {
public:
    explicit CliProcess(const std::vector<std::string> &args) : Process(WithProgram(args)) {}

private:
    static std::vector<std::string> WithProgram(const std::vector<std::string> &args)
    {
        // Tests never write into the service records of whoever runs them:
        // lumoctl records only where a test names a file with --records.
        ::setenv("LUMO_RECORDS", "off", 1);
        std::vector<std::string> argv{LUMOCTL_PROGRAM};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
};

inline CliResult RunCli(const std::vector<std::string> &args, int timeoutMs = 30000)
{
    CliProcess process(args);
    return process.Finish(timeoutMs);
}
