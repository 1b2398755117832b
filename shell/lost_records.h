// Implemented in shell/lost_records.cpp.
// Output that could not be written is said, once per file, on stderr ("firmware-utility:
// --events FILE: write failed: REASON"), and the run goes on: a module is never left
// half-written for the sake of a log. A failed write other than to a closed pipe on stdout also
// marks a record of the run as lost, and the program's exit code is then non-zero.
//
// Every writer of the run's records calls ReportWriteFailure: the events, the trace and the
// headless screen (through platform::SetWriteFailureHandler), and the listings on stdout.
//
// Index: ReportWriteFailure RecordLost ExitCodeWithRecords FlushListing
#pragma once

#include <cstdio>

namespace shell {

// `what` names the output as the user gave it ("--events FILE", "--trace FILE", "stdout").
void ReportWriteFailure(const char* what, int error);
bool RecordLost();
// The exit code the program ends with: 1 instead of 0 once a record was lost.
int ExitCodeWithRecords(int code);
// Flushes a listing written with stdio to stdout; a failure is reported. False then.
bool FlushListing(std::FILE* file, const char* what);

}  // namespace shell
