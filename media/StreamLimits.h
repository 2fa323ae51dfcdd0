// The pace of a camera stream for the page: frames and bytes per second at most.
#pragma once

namespace media {

inline constexpr int kStreamFramesPerSecond = 20;
inline constexpr int kStreamBytesPerSecond = 1048576;

}  // namespace media
