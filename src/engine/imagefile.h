#pragma once

#include <QString>
#include <memory>

class QFileDevice;

// The file a buffer is saved to. A regular file, or a new one, is written beside the old one and
// takes its place only once complete, so that a failed save leaves the old file as it was. An
// existing device or pipe is written as it is: putting a new file in its place would replace the
// device itself. `directWriteFallback`: where no file can be created beside it, a regular file
// is written in place.
std::unique_ptr<QFileDevice> createImageFile(const QString &path, bool directWriteFallback);
// Puts a complete file in place of the old one; false (with the file's error string) on failure.
// A file dropped without this leaves the old one as it was.
bool commitImageFile(QFileDevice &file);
