#pragma once

#include <QByteArray>

#include <string>

// Files that later runs trust are written under a name of this run, pushed to the disk and only
// then renamed: after a crash or a power cut the old file or the whole new one is there, never a
// complete-looking but empty one, and never a mix of two runs' writes.

// A name beside final_path that only this run uses; ends in ".part".
std::string temporary_name(const std::string& final_path);

// Replaces path by contents as described above; false (and path untouched) on any failure.
bool write_durably(const std::string& path, const QByteArray& contents);
