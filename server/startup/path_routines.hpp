#pragma once
// Path helpers of the start-up: the bundle root, the current folder, and the
// split of a path into folder, file name and extension.

#include <memory>
#include <string>

#include "core/asso_array.hpp"

namespace vexa {

// Every occurrence of `from` replaced by `to` (case-sensitive, left to right,
// replaced text is not searched again).
std::string ReplaceAll(const std::string& text, const std::string& from, const std::string& to);

// Removes one trailing "/" or "\" if present.
std::string RemoveTrailingSlash(const std::string& path);

// The bundle root: two folder levels above the folder of `exeFile` (default:
// this program, from /proc/self/exe), absolute and normalised, with no
// trailing separator.
std::string GetServerBaseDir(const std::string& exeFile = "");

// The process's current folder without a trailing separator.
std::string GetCurrentDirNoSlash();

// "dir": everything before the last "/", "\" or ":" (trailing separator
// removed); "basename": the file name with its extension; "ext": the part of
// the file name after its last ".", without dots ("" when there is none).
std::unique_ptr<TAssoArray> GetPathInfo(const std::string& path);

}  // namespace vexa
