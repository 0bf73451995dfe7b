// SPDX-License-Identifier: Apache-2.0
#include "pool_view.hpp"

#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/pool_image.h>
#include <zim/sim/shm_pool.h>

#include <initializer_list>
#include <sstream>
#include <vector>

#include "sim_test_util.hpp"
#include "snapshot_image.hpp"

namespace zim_mirror_test {
namespace {

namespace cat = zim_tables::catalogue;

// In a child that maps the pool: every live object and key, one line each.
int print_pool(const std::string& name, int fd) {
  if (zim_shm_pool_attach(name.c_str()) != 0) return 1;
  PoolView view;
  const auto visit = [](const zim_shm_pool_piece_t* piece, void* context) {
    const cat::TableType* type = cat::by_id(piece->table_id);
    if (piece->retired != 0 || piece->table_id > ZIM_SHM_POOL_MAX_TABLE_ID || type == nullptr)
      return 0;
    static_cast<PoolView*>(context)->objects[zim_shm_pool_id_of(piece->data)] = {
        type->table_id, zim_relay_test::snapshot_image(*type, const_cast<void*>(piece->data))};
    return 0;
  };
  zim_shm_pool_walk_mapped(visit, &view);
  add_mapped_keys(view);
  std::ostringstream out;
  for (const auto& [id, o] : view.objects)
    out << "O " << id << " " << o.first << " " << hex(o.second) << "\n";
  for (const auto& [k, id] : view.keys)
    out << "K " << k.first << " " << k.second << " " << id << "\n";
  const std::string text = out.str();
  for (size_t at = 0; at < text.size();) {
    const ssize_t n = write(fd, text.data() + at, text.size() - at);
    if (n <= 0) return 1;
    at += size_t(n);
  }
  return 0;
}

}  // namespace

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  for (const unsigned char c : bytes) text += {kDigits[c >> 4], kDigits[c & 15]};
  return text;
}

void add_mapped_keys(PoolView& view) {
  std::vector<zim_shm_pool_index_entry_t> entries(4096);
  const int64_t n = zim_shm_pool_index_list(entries.data(), entries.size());
  for (int64_t i = 0; i < n && i < int64_t(entries.size()); ++i) {
    if (view.objects.count(entries[i].pool_id)) {
      view.keys[{entries[i].table_id, entries[i].key}] = entries[i].pool_id;
    }
  }
}

bool read_pool(const std::string& name, PoolView& view) {
  int p[2];
  if (pipe(p) != 0) return false;
  const pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    _exit(print_pool(name, p[1]));
  }
  close(p[1]);
  std::istringstream in(zim_sim_test::read_all(p[0]));
  close(p[0]);
  if (zim_sim_test::wait_exit(pid) != 0) return false;
  for (std::string kind; in >> kind;) {
    uint64_t a = 0, b = 0, c = 0;
    std::string image;
    if (kind == "O" && in >> a >> b >> image) view.objects[a] = {uint32_t(b), image};
    if (kind == "K" && in >> a >> b >> c) view.keys[{uint32_t(a), b}] = c;
  }
  return true;
}

std::string view_difference(const PoolView& source, const PoolView& copy) {
  for (const auto& [id, o] : source.objects) {
    const auto it = copy.objects.find(id);
    if (it == copy.objects.end()) return "object " + std::to_string(id) + " is missing";
    if (it->second != o) return "object " + std::to_string(id) + " differs";
  }
  if (copy.objects.size() != source.objects.size())
    return "the copy holds objects the source does not";
  for (const PoolView* view : std::initializer_list<const PoolView*>{&source, &copy}) {
    for (const auto& [key, id] : view->keys) {
      const auto& other = view == &source ? copy.keys : source.keys;
      const auto it = other.find(key);
      if (it == other.end() || it->second != id) {
        return "key " + std::to_string(key.second) + " of table id " + std::to_string(key.first) +
               " leads to object " + std::to_string(id) +
               (view == &source ? " at the source" : " in the copy") +
               (it == other.end() ? ", nowhere in the other" : ", to another in the other");
      }
    }
  }
  return "";
}

}  // namespace zim_mirror_test
