// Small helpers shared by the proof build's tests (Objective-C++).
#pragma once

#import <Foundation/Foundation.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace thrumline::prooftest {

// A fresh folder that stands for the device's "/", removed afterwards.
class ScratchFolder {
public:
    ScratchFolder() {
        const char* tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/thrumline-proof-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr) path_ = buffer.data();
    }
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    // The real file behind a device path such as "/var/mobile/...".
    std::string hostPath(const std::string& devicePath) const { return path_ + devicePath; }

private:
    std::string path_;
};

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A property list in the XML form, written by hand so that the reader under
// test is not also the writer. Each entry is a key and an XML value fragment.
inline std::string xmlDictionary(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                      "<plist version=\"1.0\">\n<dict>\n";
    for (const auto& entry : entries) {
        xml += "  <key>" + entry.first + "</key>\n  " + entry.second + "\n";
    }
    return xml + "</dict>\n</plist>\n";
}

inline bool isBooleanNumber(id value) {
    return
        [value isKindOfClass:[NSNumber class]] && std::strcmp([value objCType], @encode(BOOL)) == 0;
}

inline bool isIntNumber(id value) {
    return
        [value isKindOfClass:[NSNumber class]] && std::strcmp([value objCType], @encode(int)) == 0;
}

// The vibration dictionary as AudioToolbox would read it, for comparison:
// "on 120, off 80, on 120"; anything that is not exactly the two keys, an
// integer Intensity of 1 and alternating boolean/integer pairs is described
// as malformed.
inline std::string describePattern(NSDictionary* dictionary) {
    if (![dictionary isKindOfClass:[NSDictionary class]] || [dictionary count] != 2) {
        return "malformed: not a two-key dictionary";
    }
    id intensity = [dictionary objectForKey:@"Intensity"];
    if (!isIntNumber(intensity) || [intensity intValue] != 1) {
        return "malformed: Intensity is not the integer 1";
    }
    id pattern = [dictionary objectForKey:@"VibePattern"];
    if (![pattern isKindOfClass:[NSArray class]] || [pattern count] % 2 != 0) {
        return "malformed: VibePattern is not an array of pairs";
    }
    std::string text;
    for (NSUInteger i = 0; i < [pattern count]; i += 2) {
        id on = [pattern objectAtIndex:i];
        id duration = [pattern objectAtIndex:i + 1];
        if (!isBooleanNumber(on) || !isIntNumber(duration)) {
            return "malformed: step " + std::to_string(i / 2) + " is not a boolean and an integer";
        }
        if (!text.empty()) text += ", ";
        text += std::string([on boolValue] ? "on " : "off ") + std::to_string([duration intValue]);
    }
    return text;
}

}  // namespace thrumline::prooftest
