#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace trakmap::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "trakmap-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    if (made == nullptr) ADD_FAILURE() << "cannot create a temporary folder";
    path_ = made != nullptr ? fs::path(made) : fs::temp_directory_path();
}

TempDir::~TempDir() {
    std::error_code ignored;
    if (path_ != fs::temp_directory_path()) fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& file, std::string_view bytes) {
    std::ofstream stream(file, std::ios::binary | std::ios::trunc);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!stream) ADD_FAILURE() << "cannot write " << file;
}

void writeFile(const fs::path& file, const std::vector<std::uint8_t>& bytes) {
    writeFile(file, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::vector<std::uint8_t> readFileBytes(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(stream), {});
}

std::string readFileText(const fs::path& file) {
    std::ifstream stream(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

namespace {

void putLe(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::string shellQuote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string withoutCarriageReturns(std::string text) {
    std::string result;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) result += text[i];
    return result;
}

}  // namespace

void writeCdWave(const fs::path& file, std::uint64_t dataBytes) {
    std::string header = "RIFF";
    putLe(header, (36 + dataBytes) & 0xFFFFFFFF, 4);
    header += "WAVEfmt ";
    putLe(header, 16, 4);
    putLe(header, 1, 2);       // PCM
    putLe(header, 2, 2);       // channels
    putLe(header, 44100, 4);   // sample rate
    putLe(header, 176400, 4);  // byte rate
    putLe(header, 4, 2);       // block align
    putLe(header, 16, 2);      // bits per sample
    header += "data";
    putLe(header, dataBytes & 0xFFFFFFFF, 4);
    writeFile(file, header);
    fs::resize_file(file, 44 + dataBytes);
}

ToolResult runTool(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& cacheHome) {
    return runTool(args, cwd, cacheHome, ToolRunOptions{});
}

ToolResult runTool(const std::vector<std::string>& args, const fs::path& cwd, const fs::path& cacheHome,
                   const ToolRunOptions& options) {
    const char* binary = std::getenv("TRAKMAP_E2E_BINARY");
    const char* runner = std::getenv("TRAKMAP_E2E_RUNNER");
    std::string command = "cd " + shellQuote(cwd.string()) + " && ";
    if (!options.setup.empty()) command += options.setup + " && ";
    command += "TRAKMAP_CACHE_ROOT=" +
               shellQuote(options.cacheRoot.empty() ? cacheHome.string() : options.cacheRoot) + " ";
    if (options.timeoutSeconds > 0) command += "timeout " + std::to_string(options.timeoutSeconds) + " ";
    if (runner != nullptr && *runner != 0) command += std::string(runner) + " ";
    command += shellQuote(binary != nullptr && *binary != 0 ? binary : TRAKMAP_BINARY);
    for (const std::string& arg : args) command += " " + shellQuote(arg);
    fs::path outFile = cacheHome / ".stdout";
    fs::path errFile = cacheHome / ".stderr";
    fs::create_directories(cacheHome);
    command += " >" + shellQuote(outFile.string()) + " 2>" + shellQuote(errFile.string()) + " " + options.input;
    ToolResult result;
    result.exitCode = runShell(command);
    result.out = readFileText(outFile);
    result.err = readFileText(errFile);
    if (runner != nullptr && *runner != 0) {
        result.out = withoutCarriageReturns(result.out);
        result.err = withoutCarriageReturns(result.err);
    }
    fs::remove(outFile);
    fs::remove(errFile);
    return result;
}

bool toolRunsUnderRunner() {
    const char* runner = std::getenv("TRAKMAP_E2E_RUNNER");
    return runner != nullptr && *runner != 0;
}

std::string toolPathOf(const fs::path& path) {
    if (!toolRunsUnderRunner()) return path.string();
    // Wine shows the Unix root as drive Z:.
    std::string text = "Z:" + path.string();
    for (char& c : text)
        if (c == '/') c = '\\';
    return text;
}

int runShell(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

}  // namespace trakmap::test
