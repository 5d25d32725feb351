#include "memory.hpp"

#include <unistd.h>

#include <cstdio>

namespace zarn {

namespace {

std::string gigabytes(Index bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f GB", static_cast<double>(bytes) / 1e9);
    return text;
}

} // namespace

void require_memory(Index bytes, const std::string& request) {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    const Index limit = (pages > 0 && page_size > 0) ? sat_mul(pages, page_size) : kIndexMax - 1;
    if (bytes == kIndexMax)
        throw MemoryRequestTooLarge(request + " would need more memory than can be addressed");
    if (bytes > limit)
        throw MemoryRequestTooLarge(request + " would need " + gigabytes(bytes) +
                                    ", more than the " + gigabytes(limit) +
                                    " of memory of this machine");
}

} // namespace zarn
