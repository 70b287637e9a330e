// The command buffers, and the report of a port that did not open.
#include "commands.h"

#include <cstdio>

char comando[100];
char bufi[100];

void report_port_failure(int code) {
    int err = errno;
    char report[protocol::kPortReportSize];
    protocol::port_report(report, code, err);
    std::fprintf(stdout, "%s%s", report, protocol::kPortReportEnd);
    errno = err; // the caller's errno is the one reported
}
