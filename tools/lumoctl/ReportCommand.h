#pragma once
// "report": an actuator's service report as a PDF, the one the window's
// Service history prints. Built only with the window's report library
// (Qt's Gui module); it needs no display.

#include <string>

#include "Output.h"

// The report of motor `motorIdText` from the records at `recordsPath` into
// `file`: the events of `dayText` (YYYY-MM-DD, local time), or of the whole
// history when it is empty.
void RunReport(Output &out, const std::string &recordsPath, const std::string &motorIdText, const std::string &file,
               const std::string &dayText);
