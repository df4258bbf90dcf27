#include "simulator/phone/PhoneBinary.h"

#include <algorithm>
#include <stdexcept>

#include "simulator/home-screen/Files.h"

namespace thrumline::phone {

namespace {

Image readImageFile(const std::string& path, const std::string& slice) {
    std::string bytes;
    if (!sim::readFileBytes(path, &bytes)) throw std::runtime_error("cannot read " + path);
    return readImage(bytes, slice);
}

}  // namespace

PhoneBinary::PhoneBinary(sim::Process::Impl& process, const std::string& path,
                         const std::string& slice, std::uint64_t* instructionCounter)
    : image_(readImageFile(path, slice)),
      cpu_(image_.arm64e),
      objects_(process, cpu_),
      center_(cpu_.allocData(64)),
      mainQueue_(cpu_.allocData(128)),
      pools_(process, objects_),
      entries_(process, cpu_, objects_, pools_, center_),
      loader_(process, image_, cpu_, objects_, entries_),
      tables_{process, cpu_, objects_, pools_, entries_, loader_, center_, mainQueue_} {
    cpu_.symbolize = [this](std::uint64_t addr) {
        if (addr < Cpu::kImageBase) return std::string();
        return image_.symbolize(addr - Cpu::kImageBase);
    };
    loader_.load([this](const std::string& symbol) { return bindImport(tables_, symbol); });
    if (instructionCounter != nullptr) {
        std::uint64_t end = 0;
        for (const Segment& s : image_.segments) {
            if (s.initprot & 4) end = std::max(end, s.vmaddr + s.vmsize);
        }
        cpu_.countInstructions(Cpu::kImageBase, Cpu::kImageBase + end, instructionCounter);
    }
}

}  // namespace thrumline::phone
