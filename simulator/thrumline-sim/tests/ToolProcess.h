// Runs thrumline-sim as a user does: a separate process with its own
// standard input, output and error, and an exit code.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

namespace thrumline::simtool::test {

inline bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir()
        : path_((std::filesystem::temp_directory_path() / "thrumline-sim-test-XXXXXX").string()) {
        if (::mkdtemp(&path_[0]) == nullptr) throw std::runtime_error("mkdtemp failed");
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    // Writes a file in the folder and returns its full path.
    std::string write(const std::string& name, const std::string& bytes) const {
        std::ofstream(path_ + "/" + name, std::ios::binary | std::ios::trunc) << bytes;
        return path_ + "/" + name;
    }

private:
    std::string path_;
};

struct ToolResult {
    int exitCode = -1;  // the exit status, or minus the signal that ended it
    std::string out;
    std::string err;
};

// Runs the built tool with these arguments and `input` on standard input.
// Files rather than pipes: nothing can block however much the tool writes.
inline ToolResult runTool(std::vector<std::string> args, const std::string& input = "") {
    const TempDir io;
    const std::string paths[] = {io.write("in", input), io.path() + "/out", io.path() + "/err"};
    args.insert(args.begin(), THRUMLINE_SIM_PATH);
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        for (int fd = 0; fd < 3; ++fd) {
            const int file =
                ::open(paths[fd].c_str(), fd == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (file < 0 || ::dup2(file, fd) < 0) ::_exit(126);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), readFile(paths[1]),
            readFile(paths[2])};
}

}  // namespace thrumline::simtool::test
