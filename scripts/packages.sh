# The Debian packages each job needs; sourced by the job scripts.
# shellcheck disable=SC2034
# The library, the simulator and thrumline-sim: libplist for property lists,
# nlohmann-json for the JSON output, Unicorn for the arm64 emulator that runs
# the phone binary (found with pkg-config).
BUILD_PACKAGES=(g++ cmake make pkg-config libplist-dev nlohmann-json3-dev libunicorn-dev)
# The phone build: Debian's clang, LLVM's Mach-O linker and tools
# (llvm-install-name-tool, llvm-objcopy, llvm-lipo and llvm-ar; objdump, nm
# and otool for the checks), libc++'s headers, and dpkg for the packages.
# LLVM 22, for the arm64e slice, from bookworm-security (ensure-packages.sh
# adds that archive where it is missing); its libc++-22-dev cannot be
# installed beside libc++-14-dev.
PHONE_PACKAGES=(cmake make clang-22 lld-22 llvm-22 libc++-22-dev dpkg)
# The package repository (build-repo.sh) and its proof: apt-ftparchive for
# the indexes (dpkg-scanpackages would write SileoDepiction as
# Sileodepiction), the compressors, apt-get for the test, Chromium for the
# pictures, python3 for the depictions and the test's web server.
REPO_PACKAGES=(dpkg apt apt-utils gzip bzip2 xz-utils zstd chromium python3)
# The tests: GoogleTest, Google Benchmark, GNUstep and GCC's Objective-C for
# the device backend's proof build on a real Objective-C runtime, python3
# (the Mach-O, signature and docs checks) and dash (postinst), and all of the
# above.
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" "${PHONE_PACKAGES[@]}" googletest libgtest-dev libgmock-dev
               libbenchmark-dev gobjc gobjc++ libgnustep-base-dev python3 dash
               "${REPO_PACKAGES[@]}")
# The test suite built with Ninja instead of make (run-tests.sh --ninja).
NINJA_PACKAGES=(ninja-build)
