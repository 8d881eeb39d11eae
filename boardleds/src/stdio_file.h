// Owns a stdio stream opened for reading.
#pragma once

#include <cstdio>
#include <memory>

namespace boardleds {

struct StdioClose {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

using StdioFile = std::unique_ptr<std::FILE, StdioClose>;

} // namespace boardleds
