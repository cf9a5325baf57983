#pragma once

#include "core/FileSystem.h"

// The file system on disk, and the system's time of day.
FileSystem& diskFileSystem();
WallClock& systemWallClock();
