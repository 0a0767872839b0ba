#pragma once

#include <gtest/gtest.h>

// A test that needs what only POSIX systems have (file modes and owners, FIFOs, symbolic links
// made by the test, Unix-domain sockets, signals, a POSIX shell) skips itself on Windows and says
// why: VELLUMIX_SKIP_ON_WINDOWS("Windows has no FIFOs"); as its first statement. The one place the
// tests ask which system they were built for.
#ifdef _WIN32
#define VELLUMIX_SKIP_ON_WINDOWS(reason) GTEST_SKIP() << (reason)
#else
#define VELLUMIX_SKIP_ON_WINDOWS(reason) static_cast<void>(reason)
#endif
