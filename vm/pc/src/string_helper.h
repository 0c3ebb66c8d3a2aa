// String helpers of the linker.
#pragma once

#include <string>

// The class name the package directory records for an input path: drive prefix, leading
// dots and slashes and the extension removed, backslashes made slashes, and at most the
// last two path components kept (out\pkg\Main.class gives pkg/Main).
std::string file2class_name(const std::string& path);
