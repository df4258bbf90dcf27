#include "simulator/home-screen/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "simulator/home-screen/PropertyList.h"

namespace thrumline::sim {

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool readFileBytes(const std::string& path, std::string* bytes) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return false;
    }
    std::string out;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    *bytes = std::move(out);
    return true;
}

bool writeFileAtomically(const std::string& path, const std::string& bytes) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    std::string temp = (slash == std::string::npos ? std::string() : folder) + ".plist-XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) return false;
    // mkstemp makes the file private; a settings file is readable by all.
    bool ok = ::fchmod(fd, 0644) == 0 && writeAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

PlistValue readPlistFile(const std::string& path) {
    std::string bytes;
    if (!readFileBytes(path, &bytes)) return {};
    return parsePlist(bytes);
}

bool writePlistFileAtomically(const std::string& path, const PlistValue& value) {
    const std::string xml = toXmlPlist(value);
    if (xml.empty()) return false;
    return writeFileAtomically(path, xml);
}

}  // namespace thrumline::sim
