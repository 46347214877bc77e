// The server's version, logged at start and written into "plugins.xml".
#pragma once

namespace version {

constexpr int kMajor = 8;
constexpr int kMinor = 6;
constexpr int kRelease = 2;
constexpr int kBuild = 115651;

}  // namespace version
