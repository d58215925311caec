// How the library opens a file it only reads from: the open never waits (for a FIFO's writer),
// never makes a terminal the controlling one, and is not inherited by child processes; on Windows
// the bytes are read as they are, never as text. Inside the library.
#ifndef TNIFF_TARNIFF_OPEN_TO_LOOK_H
#define TNIFF_TARNIFF_OPEN_TO_LOOK_H

#include <fcntl.h>

namespace tarniff {

#if defined(_WIN32)
const int kOpenToLook = O_RDONLY | O_BINARY;
#else
const int kOpenToLook = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#endif

}  // namespace tarniff

#endif
