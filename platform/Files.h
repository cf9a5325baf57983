#pragma once

#include "core/Result.h"
#include "core/Stretch.h"

#include <opencv2/core.hpp>

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

// Writes bytes to a temporary file beside path and renames it over path, so
// readers see the old file or the new one, never a part. Durable also flushes
// the data and the rename to disk first.
Result<> writeFileAtomically(const std::string& path, const std::vector<uchar>& bytes, bool durable);

// Files that go together (an image and the sidecar that describes it):
// each written to a temporary file first, durably; only once all are
// written are they renamed into place, in order. A write that fails (a full
// disk) replaces none of them.
Result<> writeFilesTogether(const std::vector<std::pair<std::string, std::vector<uchar>>>& files);

// The image encoded as a file of this extension (".jpg", ".tiff", ...).
// A JPEG is 8-bit: a 16-bit image is stretched for it as `stretch` says.
Result<std::vector<uchar>> encodeImage(const std::string& extension, const cv::Mat& image,
                                       Stretch stretch = Stretch::linear);

// The same, unless path exists: then false, and nothing is replaced.
Result<bool> writeFileIfNew(const std::string& path, const std::vector<uchar>& bytes);

// Renames from to to unless to exists (false then: from stays as it is).
Result<bool> renameWithoutReplacing(const std::string& from, const std::string& to);

// The first of "BASE.EXT", "BASE-2.EXT", "BASE-3.EXT", ... that is not there.
std::string unusedName(const std::string& base, const std::string& extension);
// The first of "BASE", "BASE-2", ... with none of these extensions there.
std::string unusedBase(const std::string& base, const std::vector<std::string>& extensions);

// Encodes an image by the extension of path and writes it atomically and durably.
Result<> writeImageAtomically(const std::string& path, const cv::Mat& image,
                              Stretch stretch = Stretch::linear);

// Removes temporary files that an interrupted write left in the folder, those
// at least minAgeSeconds old (a live write takes milliseconds).
void removeLeftoverTemporaries(const std::string& folder, int64_t minAgeSeconds = 0);

// Bytes free to an unprivileged writer on the file system that holds (or
// will hold) the folder; -1 when unknown.
int64_t freeBytesFor(const std::string& folder);

// Opens a file to be served: a regular file of this user with one link,
// opened without following a link or waiting on a FIFO, so that nothing but
// what the tool wrote leaves its folders. -1 otherwise; size set when opened.
int openOwnFile(const std::string& path, uint64_t& size);
// Whether a file (as lstat tells it) is one openOwnFile opens: the web view
// lists only those.
bool isOwnFile(const struct stat& info);

// Makes the folder when it is not there, and checks that files can be made
// in it (a file in its place, a read-only place or mount fail).
Result<> makeWritableFolder(const std::string& folder);

// Flushes a file's data to disk.
Result<> flushToDisk(const std::string& path);
