// Runs thrumline-sim as a user does: a separate process with its own
// standard input, output and error, and an exit code.
#pragma once

#include <string>
#include <vector>

namespace thrumline::simtool::test {

struct ToolResult {
    int exitCode = -1;  // the exit status, or minus the signal that ended it
    std::string out;
    std::string err;
};

// Runs the built tool with these arguments and `input` on standard input,
// in the working directory `cwd` (empty: the current one).
ToolResult runTool(const std::vector<std::string>& args, const std::string& input = "",
                   const std::string& cwd = "");

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // Writes a file under the folder and returns its full path.
    std::string write(const std::string& name, const std::string& bytes) const;

private:
    std::string path_;
};

std::string readFile(const std::string& path);

}  // namespace thrumline::simtool::test
