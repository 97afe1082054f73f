// SPDX-License-Identifier: MIT
// Replacing a file on disk without ever leaving it half-written: the one way every writer of
// the system (settings files, pictures, the dialog's presets, the program's own state) puts a
// file in place. Plain C++ and POSIX, so that the engine, the host and the dialog can all use
// it; the engine links it in hidden, the others as a static library of their own.
//
// The rules:
//  - A symbolic link is followed and the file it points to replaced (or created, when the link
//    dangles); the link itself stays.
//  - The content goes to a hidden temporary file beside the target, reaches the disk (durable)
//    and is renamed over the target: a failure at any step leaves the old file as it was and
//    removes the temporary file.
//  - A replaced file keeps its permissions, owner and group. A new file is created with mode
//    0666 and the kernel applies the umask (and any default ACL) itself: the umask is never
//    read or changed, so threads creating files at the same time cannot disturb each other.
//  - A file that nobody may write (no write permission for the caller, or none for anyone,
//    root included) is refused, as is a folder or a socket.
//  - Written in place instead (overwritten from its start; a failure may damage it, a file the
//    call created is removed again): a device or a pipe (nothing to protect, and no rename can
//    stand in for it), a file with several hard links (so that every name sees the new
//    content), a file whose owner or group cannot be given to a new file, a folder the caller
//    may write files in but not create files in, a rename that fails. A folder without room
//    for even an empty file fails with the old file intact.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tmlib {

enum class ReplaceFault {
  kNone,
  kNoName,    // an empty path
  kFolder,    // the name is a folder
  kNotAFile,  // a socket: nothing a file can be written to
  kReadOnly,  // the existing file may not be written
  kNoFolder,  // the folder the file would go in does not exist
  kLinks,     // a symbolic link that cannot be followed (a loop, an unreadable link)
  kOpen,      // the file (or its temporary) cannot be opened or created; `error` says why
  kNoReader,  // a pipe nobody reads from
  kWrite,     // the content could not be written in full; `error` is 0 when the writer failed
};

struct ReplaceResult {
  ReplaceFault fault = ReplaceFault::kNone;
  int error = 0;          // errno of the call that failed, 0 when there is none
  bool in_place = false;  // written in place (see above) rather than renamed over
  std::string target;     // the file written (the end of any links)
  bool ok() const { return fault == ReplaceFault::kNone; }
};

struct ReplaceOptions {
  // Flush the file and the folder entry to the disk before reporting success: settings files
  // are; pictures, written by the thousand and easily made again, are not.
  bool durable = true;
  // Tell the program about the temporary file while it exists (so that an interrupted program
  // can remove it); track returns a handle for untrack, or -1.
  int (*track)(const char *path) = nullptr;
  void (*untrack)(int handle) = nullptr;
};

// Writes the file at `path` through `write`, which is given a descriptor open for writing,
// positioned at the start of an empty file, and returns whether it wrote everything. The
// writer must not close the descriptor. Pipes and devices are opened without blocking on a
// missing reader, then switched back to blocking writes.
ReplaceResult replace_file(const std::string &path, const std::function<bool(int fd)> &write,
                           const ReplaceOptions &options = {});

// Writes all of `size` bytes to `fd`, again after an interruption; false on any failure, a short
// write included (errno tells why).
bool write_all(int fd, const void *data, std::size_t size);

// What replace_file would refuse before writing anything (a folder, a socket, a read-only file,
// a missing folder, links that cannot be followed), so that a caller can say so before long
// work; none (with the target) when a write may be tried.
ReplaceResult check_replaceable(const std::string &path);

// A sentence for a fault ("the existing file is read-only", "no such folder", the system's
// text for `error`), without the file's name.
std::string replace_fault_reason(const ReplaceResult &result);

}  // namespace tmlib
