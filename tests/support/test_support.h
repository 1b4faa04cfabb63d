// Helpers shared by the tests: a temporary folder that cleans itself up, file
// writing, and running the built tool as a separate process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace trakmap::test {

// A fresh folder below the system's temporary folder, removed with everything
// in it when the object goes away. Tests write nowhere else.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& file, std::string_view bytes);
void writeFile(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> readFileBytes(const std::filesystem::path& file);
std::string readFileText(const std::filesystem::path& file);

// A canonical 44-byte PCM WAVE header for CD audio followed by `dataBytes`
// bytes of data (made sparse with a seek, so large files cost nothing).
void writeCdWave(const std::filesystem::path& file, std::uint64_t dataBytes);

struct ToolResult {
    std::string out;
    std::string err;
    int exitCode = -1;
};

// Runs the trakmap executable with `args` in folder `cwd`, with the seek-table
// cache kept below `cacheHome` (TRAKMAP_CACHE_ROOT). The environment variables
// TRAKMAP_E2E_BINARY and TRAKMAP_E2E_RUNNER (for example "wine") replace the
// native executable; under a runner, CRLF line ends are read as LF.
ToolResult runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                   const std::filesystem::path& cacheHome);

// What runTool may do differently.
struct ToolRunOptions {
    std::string cacheRoot;             // TRAKMAP_CACHE_ROOT when not empty; cacheHome otherwise
    std::string input = "</dev/null";  // standard input, as a shell redirection
    std::string setup;                 // shell commands run before the tool (for example a ulimit)
    int timeoutSeconds = 0;            // when not 0, the tool is killed after it (exit code 124)
};

// As above; cacheHome still receives the captured output.
ToolResult runTool(const std::vector<std::string>& args, const std::filesystem::path& cwd,
                   const std::filesystem::path& cacheHome, const ToolRunOptions& options);

// Whether runTool drives the tool through TRAKMAP_E2E_RUNNER (Wine): the tool
// then follows Windows rules, and parse errors go to a message box, not to
// standard error.
bool toolRunsUnderRunner();

// An absolute path of this machine as the tool spells it in its messages:
// unchanged natively; under Wine on drive Z: with backslashes.
std::string toolPathOf(const std::filesystem::path& path);

// Runs a shell command line; returns its exit status (-1 if it did not run).
int runShell(const std::string& command);

}  // namespace trakmap::test
