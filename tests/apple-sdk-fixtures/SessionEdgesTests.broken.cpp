// SPDX-License-Identifier: Apache-2.0
// SessionEdgesTests.cpp as it once was: pipe2, which macOS lacks, called on
// every platform.
// expect: 'pipe2'
#include <fcntl.h>
#include <unistd.h>

int openReportPipe(int ends[2]) { return ::pipe2(ends, O_CLOEXEC | O_NONBLOCK); }
