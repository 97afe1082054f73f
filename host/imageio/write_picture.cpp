// SPDX-License-Identifier: MIT
// Writing pictures through the system's one way of replacing a file (replace_file.h): a failure
// never leaves a half-written picture under the final name, a replaced picture keeps its
// permissions, owner, hard links and symbolic links, a new one gets 0666 less the umask.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cleanup.h"
#include "formats.h"
#include "io/replace_file.h"

namespace brightloom {

std::string disk_full_reason(int error) {
  switch (error) {
    case ENOSPC:
      return "the disk is full";
    case EDQUOT:
      return "the disk quota is used up";
    case EFBIG:
      return "the file would be larger than the system allows";
    default:
      return {};
  }
}

FILE *open_stream_for_writing(int fd) {
  FILE *fp = ::fdopen(fd, "wb");
  if (!fp) ::close(fd);
  errno = 0;
  return fp;
}

Status close_written_file(FILE *fp, const char *format, const char *encode_error, int encode_errno) {
  const bool flushed = std::fflush(fp) == 0 && !std::ferror(fp);
  const int flush_error = errno;
  const bool closed = std::fclose(fp) == 0;
  const int error = flushed ? errno : flush_error;
  const std::string what = std::string("cannot write the ") + format + " file: ";
  if (encode_error) {
    const std::string full = disk_full_reason(encode_errno);
    return fail("", what + (full.empty() ? std::string(encode_error) : full));
  }
  if (!flushed || !closed) {
    const std::string full = disk_full_reason(error);
    return fail("", what + (full.empty() ? std::string(std::strerror(error)) : full));
  }
  return Status::success();
}

namespace {

// A fault of the file replacement as the picture's failure, in the words the program uses.
Failure picture_fault(const std::string &path, const tmlib::ReplaceResult &r) {
  using tmlib::ReplaceFault;
  switch (r.fault) {
    case ReplaceFault::kFolder:
      return fail(path, "is a folder; name a file for the picture");
    case ReplaceFault::kNotAFile:
      return fail(path, "is a socket, not a file a picture can be written to");
    case ReplaceFault::kNoFolder:
      return fail(path, "the output " + tmlib::replace_fault_reason(r));
    case ReplaceFault::kNoReader:
      return fail(path, "nothing reads from this pipe, so the picture cannot be written");
    case ReplaceFault::kOpen:
      return fail(path, "cannot create the picture: " + std::string(std::strerror(r.error)));
    default: {
      const std::string full = disk_full_reason(r.error);
      return fail(path, full.empty() ? tmlib::replace_fault_reason(r) : "cannot write the picture: " + full);
    }
  }
}

}  // namespace

Status check_output_target(const std::string &path) {
  const tmlib::ReplaceResult r = tmlib::check_replaceable(path);
  if (!r.ok()) return picture_fault(path, r);
  return Status::success();
}

Status write_picture(const std::string &path, const FormatDescriptor &format, const Picture &pic,
                     const WriteOptions &options) {
  if (format.write == nullptr) return fail(path, std::string(format.label) + " files cannot be written");
  Status written;
  const auto write = [&](int fd) {
    // A pipe cannot take a format whose writer moves back in the file.
    if (format.writer_seeks && ::lseek(fd, 0, SEEK_CUR) < 0) {
      written =
          fail(path, std::string("a ") + format.label + " file is written out of order and cannot go to a pipe; use " +
                         output_format_labels([](const FormatDescriptor &f) { return !f.writer_seeks; }));
      return false;
    }
    // The format's writer closes what it is given; the replacement keeps its own descriptor.
    const int own = ::dup(fd);
    if (own < 0) {
      written = fail(path, std::string("cannot write the picture: ") + std::strerror(errno));
      return false;
    }
    if (Status st = format.write(own, pic, options); !st) {
      written = fail(path, st.failure().reason);
      return false;
    }
    return true;
  };
  tmlib::ReplaceOptions replace;
  // Pictures are many and made again easily: no flush to the disk for each one.
  replace.durable = false;
  // Removed by the interrupt handler should the program be stopped while writing.
  replace.track = register_temp_file;
  replace.untrack = unregister_temp;
  const tmlib::ReplaceResult r = tmlib::replace_file(path, write, replace);
  if (r.ok()) return Status::success();
  if (!written) return written;
  return picture_fault(path, r);
}

}  // namespace brightloom
