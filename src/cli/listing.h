// The read-only commands of korvane-cli: info, ls and cat (getfattr is in
// getfattr_cmd.cpp).
#pragma once

#include "model/timg.h"

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace korvane::cli {

struct LsOptions {
    bool longFormat = false;
    bool recursive = false;
    bool json = false;
    bool label = false; // -Z: the SELinux label after the group
};

// Kind of object for listings: file, dir, symlink, hardlink, chardev,
// blockdev, fifo, socket, special (no file-type bits), unknown.
std::string typeName(const TImgEntry& e);
// "drwxr-xr-x" and the like, as ls -l prints it.
std::string modeString(const TImgEntry& e);
// ISO 8601 in UTC: 2026-12-08T05:33:56Z.
std::string isoTime(int64_t t);

// The SELinux label of an object (security.selinux without its terminating
// zero), or "?" when it has none, as ls -Z shows it.
std::string selinuxLabel(const TImgEntry& e);

// Appends the object at n, whose path is path, as one element of the JSON
// array `ls --json` writes.
void jsonEntry(std::string& out, const Timg& img, const Node* n, const std::string& path);

void printInfo(const Timg& img, std::FILE* out);
// Reads the contents of every regular file through ReadContent and prints how
// many files and bytes were read, and how fast.
void readAll(Timg& img, std::FILE* out);
// Lists path (a directory's contents, or a single object). Throws Error when
// path names nothing.
void printListing(Timg& img, const std::string& path, const LsOptions& opt, std::FILE* out);
// Writes the bytes of the file at path. Throws Error when it is not a file.
void printContents(Timg& img, const std::string& path, std::FILE* out);

} // namespace korvane::cli
