// SPDX-License-Identifier: Apache-2.0
// restore: an image read and checked whole, then handed to the pool, which
// checks it against this process and makes the kept pool only then.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zim/sim/pool_image.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "image_format.hpp"
#include "image_save.hpp"

namespace zim_inspect {
namespace {

// The whole of a regular file; false with the reason in `error`.
bool read_file(const std::string& file, std::string* bytes, std::string& error) {
  const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = "cannot read " + file + ": " + (fd < 0 ? std::strerror(errno) : "not a regular file");
    if (fd >= 0) close(fd);
    return false;
  }
  bytes->resize(static_cast<size_t>(st.st_size));
  size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = read(fd, bytes->data() + done, bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  // A file that changed length while it was read is read as it ended.
  bytes->resize(done);
  return true;
}

}  // namespace

int restore_pool(const std::string& file, const std::string& name, Json* doc, std::string& error) {
  std::string bytes, why;
  if (!read_file(file, &bytes, error)) return -1;
  const auto image = read_image(bytes, &why);
  if (!image) {
    error = "the image " + file + " is damaged: " + why;
    return -1;
  }
  const zim_shm_pool_image_t view = image->view();
  char reason[1024] = "";
  if (zim_shm_pool_restore(name.c_str(), &view, reason, sizeof reason) != 0) {
    error = "cannot restore the image " + file + " as the pool " + name + ": " + reason;
    return -1;
  }
  *doc = {{"pool", name},
          {"file", file},
          {"objects", view.object_count},
          {"layouts", view.layout_count},
          {"keys", view.key_count},
          {"next_sequence", view.next_sequence},
          {"size", view.size}};
  return 0;
}

}  // namespace zim_inspect
