#pragma once
// Large allocations of the test binary can be made to fail, to drive the client table's
// out-of-memory path: the record store grows in blocks of at least 400 bytes, while a log line
// and small containers stay below that.

namespace tolmark::testing {

extern bool failLargeAllocations;

}  // namespace tolmark::testing
