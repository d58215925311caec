#include "tests/support/test_buffer_suite.h"

TestBufferSuite* TestBufferSuite::current = nullptr;
