# The Debian packages each job needs; sourced by the job scripts.
# shellcheck disable=SC2034
BUILD_PACKAGES=(g++ cmake make pkg-config libplist-dev nlohmann-json3-dev)
TEST_PACKAGES=("${BUILD_PACKAGES[@]}" googletest libgtest-dev libgmock-dev libbenchmark-dev
               gobjc gobjc++ libgnustep-base-dev dpkg)
