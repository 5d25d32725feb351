// Sizes of requests, computed without wrapping, and the check that refuses a request
// larger than the machine's memory before anything is allocated.
#pragma once

#include "types.hpp"

#include <limits>
#include <new>
#include <string>
#include <utility>

namespace zarn {

constexpr Index kIndexMax = std::numeric_limits<Index>::max();

// Products and sums of non-negative sizes that stop at kIndexMax instead of wrapping, so a
// request too large to index compares as too large rather than as a small number.
inline Index sat_mul(Index a, Index b) {
    return (a != 0 && b > kIndexMax / a) ? kIndexMax : a * b;
}
inline Index sat_add(Index a, Index b) {
    return b > kIndexMax - a ? kIndexMax : a + b;
}

// Bytes of a dense rows x cols matrix of doubles.
inline Index matrix_bytes(Index rows, Index cols) {
    return sat_mul(sat_mul(rows, cols), static_cast<Index>(sizeof(double)));
}

// Allocation failure that says what was asked for; reaches Python as MemoryError.
class MemoryRequestTooLarge : public std::bad_alloc {
public:
    explicit MemoryRequestTooLarge(std::string message)
        : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// Refuses a working set larger than the machine's physical memory before anything is
// allocated: every byte of it would be written, so such a request cannot succeed, yet with
// memory overcommit its allocation might not fail either, and the process would be killed
// while filling it instead of raising. Throws MemoryRequestTooLarge naming the request.
void require_memory(Index bytes, const std::string& request);

} // namespace zarn
