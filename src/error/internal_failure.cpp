#include "error/internal_failure.hpp"

#include <cstdio>

namespace velkor {

void internal_failure(const std::string& message, std::source_location where) {
    std::fprintf(stderr, "velkor_core: internal failure at %s:%u: %s\n",
                 where.file_name(), static_cast<unsigned>(where.line()), message.c_str());
    throw InternalFailure(message);
}

}  // namespace velkor
