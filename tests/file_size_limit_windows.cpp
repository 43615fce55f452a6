#include "file_size_limit.h"

// Windows limits no file's size per process: a full disk cannot be stood in for here.
file_size_limit::file_size_limit(qint64) {}

file_size_limit::~file_size_limit() = default;

// Mounting a small volume on a folder needs rights and tools a test run does not have here.
small_folder::small_folder(const QString&, qint64) {}
small_folder::~small_folder() = default;
