// Captures what a printing function writes to a stream.
#pragma once

#include <cstdio>
#include <string>

namespace trakmap::test {

// Calls `print` with a temporary stream and returns everything it wrote.
template <class Print>
std::string captureOutput(Print&& print) {
    std::FILE* out = std::tmpfile();
    if (out == nullptr) return "no temporary file";
    print(out);
    std::string text(static_cast<std::size_t>(std::ftell(out)), '\0');
    std::rewind(out);
    text.resize(std::fread(text.data(), 1, text.size(), out));
    std::fclose(out);
    return text;
}

}  // namespace trakmap::test
