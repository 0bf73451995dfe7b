// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect: shows where everything of a table object lies, checks
// the bytes of one object against its type, and walks a pool's objects.
#include <zim/tables/platform.h>
#include <zim/tables/table_object.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "codec/layout_record.hpp"
#include "command_line.hpp"
#include "decode.hpp"
#include "follow.hpp"
#include "gen/cli/command_line.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "image_save.hpp"
#include "object_bytes.hpp"
#include "pool.hpp"
#include "render.hpp"
#include "type_names.hpp"

namespace fs = std::filesystem;
using namespace zim_inspect;

namespace {

enum Exit { kConsistent = 0, kInconsistent = 1, kUsage = 2 };

fs::path default_catalogue(const char* argv0) {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);  // wherever it was started from
  if (ec) exe = argv0;
  return exe.parent_path() / ".." / "share" / "zim_tables" / "layout.manifest";
}

// A folder of definitions through the generator's loader; a manifest, like
// every record the tool reads, through the runtime's reader of layouts.
std::optional<std::vector<TypeLayout>> read_catalogue(const fs::path& path,
                                                      tablegen::Diagnostics& diags) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) return tablegen::load_layouts(path, diags);
  const std::optional<std::string> text = tablegen::read_manifest_file(path, diags);
  if (!text) return std::nullopt;
  const std::string name = path.string();
  return zim_codec::read_layouts(
      name, *text, [&](int line, const std::string& message) { diags.error(name, line, message); });
}

// A manifest may have been edited by hand: every fact the tool reads through
// must lie inside the fixed part, so that no read leaves an object's bytes.
void check_bounds(const TypeLayout& t) {
  if (const auto outside = bounds_problem(t)) {
    throw UsageError{printable(t.path) + ": type " + printable(t.name) + ": " + *outside};
  }
}

std::vector<TypeLayout> load_types(const fs::path& path) {
  tablegen::Diagnostics diags;
  auto layouts = read_catalogue(path, diags);
  if (!layouts) {
    std::ostringstream text;
    diags.print(text);
    throw UsageError{"cannot read the catalogue " + printable(path.string()) + ":\n" + text.str()};
  }
  for (size_t i = 0; i < layouts->size(); ++i) {
    if (i > 0 && (*layouts)[i].table_id <= (*layouts)[i - 1].table_id) {
      throw UsageError{printable(path.string()) + ": table ids do not ascend"};
    }
    check_bounds((*layouts)[i]);
  }
  return std::move(*layouts);
}

const TypeLayout& find_type(const std::vector<TypeLayout>& types, const std::string& key) {
  if (const TypeLayout* t = lookup_type(types, key)) return *t;
  std::vector<std::string> names;
  for (const auto& t : types) names.push_back(t.name);
  std::vector<std::string> near_names = nearest_names(names, key);
  for (auto& n : near_names) n = printable(n);
  const std::string near = did_you_mean(near_names);
  throw UsageError{"no table type " + printable(key) + " in the catalogue" +
                   (near.empty() ? "" : "; " + near) +
                   "\n'zim_tables_inspect types' lists the catalogue's types"};
}

// A count for a type that reads none is a mistake. N and the NPD size are
// the platform's settings, which a script gives for objects of every type.
void check_options_apply(const Options& o, const TypeLayout& t) {
  if (o.count && !takes_count(t)) {
    throw UsageError{"type " + printable(t.name) + " takes no count: leave out --count"};
  }
}

Sizing sizing_for(const Options& o, uint32_t table_id) {
  Sizing s;
  s.npus = o.npus ? *o.npus : hulcon_config_get_max_num_npus();
  if (o.npd) {
    s.npd_size = *o.npd;
  } else if (table_id <= ZIM_SHM_POOL_MAX_TABLE_ID) {
    s.npd_size = qor_npd_get_table_size(table_id);
  } else {
    throw UsageError{"the platform knows no NPD size for table id " + std::to_string(table_id) +
                     ": give --npd"};
  }
  s.count = o.count.value_or(0);
  return s;
}

void print(const Json& doc, bool as_json, void (*text)(std::ostream&, const Json&)) {
  if (as_json) {
    // A name from a manifest need not be UTF-8: such bytes become U+FFFD.
    std::cout << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  } else {
    text(std::cout, doc);
  }
}

int layout(const Options& o, const std::vector<TypeLayout>& types) {
  const TypeLayout& t = find_type(types, o.type);
  check_options_apply(o, t);
  const Sizing s = sizing_for(o, t.table_id);
  const ObjectMap map = place(t, s);
  Json doc;
  put_object_header(doc, t, s, &map);
  Json regions_json = Json::array();
  for (const Region& r : regions(t, s, map)) {
    regions_json.push_back({{"offset", r.offset}, {"size", r.size}, {"what", r.what}});
  }
  doc["regions"] = std::move(regions_json);
  print(doc, o.json, print_layout);
  return kConsistent;
}

int show(const TypeLayout& t, const ByteSource& bytes, const Options& o) {
  const Sizing sizing = sizing_for(o, t.table_id);
  const auto writer = object_writer(std::cout, o.json);
  return decode(t, bytes, sizing, *writer) ? kConsistent : kInconsistent;
}

PoolContext pool_context(const Options& o, const std::vector<TypeLayout>& types) {
  PoolContext context;
  context.types = &types;
  context.sizing = [&o](uint32_t table_id) { return sizing_for(o, table_id); };
  context.npus = o.npus;
  context.npd = o.npd;
  return context;
}

// decode --pool: the head also says whether the block is retired, whose bytes
// stay in the pool though it holds no live object.
class PoolBlockWriter final : public ObjectWriter {
 public:
  PoolBlockWriter(std::unique_ptr<ObjectWriter> to, bool retired)
      : to_(std::move(to)), retired_(retired) {}
  void head(const Json& head) override {
    Json with = head;
    with["retired"] = retired_;
    to_->head(with);
  }
  void section(const char* name) override { to_->section(name); }
  void entry(const Json& about, uint64_t items) override { to_->entry(about, items); }
  void item(const Value& value, unsigned flag) override { to_->item(value, flag); }
  void finish() override { to_->finish(); }

 private:
  std::unique_ptr<ObjectWriter> to_;
  bool retired_;
};

int decode_object(const Options& o, const std::vector<TypeLayout>& types) {
  if (o.pool.empty()) {
    if (o.type.empty() || o.file.empty()) {
      throw UsageError{"decode needs TYPE and FILE, or --pool NAME with --offset or --uid"};
    }
    const TypeLayout& t = find_type(types, o.type);
    const ObjectBytes bytes(o.file);
    return show(t, bytes.source(), o);
  }
  if (!o.file.empty()) throw UsageError{"decode reads FILE or --pool, not both"};
  if (!o.offset && !o.uid) {
    throw UsageError{"decode --pool needs --offset OFFSET or --uid UID ('zim_tables_inspect pool " +
                     printable(o.pool) + " --list' shows both)"};
  }
  int status = kUsage;
  // A type the pool records goes before the catalogue's.
  const auto use = [&](const PoolObject& object) {
    const TypeLayout* t = object.type;
    if (!o.type.empty()) {
      t = object.records->find(o.type);
      if (t == nullptr) t = &find_type(types, o.type);
    }
    if (t == nullptr && object.layout_unrecorded) {
      throw UsageError{"the retired block at offset " + std::to_string(object.offset) +
                       " (table id " + std::to_string(object.table_id) +
                       ") was made with a layout that the pool no longer records; give TYPE "
                       "to read it by the catalogue's"};
    }
    if (t == nullptr) {
      throw UsageError{"the block at offset " + std::to_string(object.offset) + " has table id " +
                       std::to_string(object.table_id) +
                       ", which neither the pool's records nor the catalogue has"};
    }
    PoolBlockWriter writer(object_writer(std::cout, o.json), object.retired);
    status =
        decode(*t, *object.bytes, object.sizing(t->table_id), writer) ? kConsistent : kInconsistent;
  };
  std::string error;
  if (!with_pool_object(o.pool, pool_context(o, types), {o.offset, o.uid}, use, error)) {
    throw UsageError{"cannot decode from the pool " + printable(o.pool) + ": " + error};
  }
  return status;
}

int pool(const Options& o, const std::vector<TypeLayout>& types) {
  std::string error;
  const auto report = inspect_pool(o.pool, pool_context(o, types), error, o.list);
  if (!report) throw UsageError{"cannot walk the pool " + printable(o.pool) + ": " + error};
  print(*report, o.json, print_pool);
  return (*report)["consistent"].get<bool>() ? kConsistent : kInconsistent;
}

int history(const Options& o, const std::vector<TypeLayout>& types) {
  std::string error;
  const auto report = pool_history(o.pool, pool_context(o, types), error);
  if (!report) throw UsageError{"cannot walk the pool " + printable(o.pool) + ": " + error};
  print(*report, o.json, print_history);
  return (*report)["problems"].empty() ? kConsistent : kInconsistent;
}

int follow(const Options& o, const std::vector<TypeLayout>& types) {
  std::string error;
  if (follow_pool(o.pool, pool_context(o, types), {o.json, o.decode}, std::cout, error) != 0) {
    throw UsageError{"cannot follow the pool " + printable(o.pool) + ": " + error};
  }
  return kConsistent;
}

int save(const Options& o) {
  std::string error;
  const auto report = save_pool(o.pool, o.file, error);
  if (!report) throw UsageError{"cannot save the pool " + printable(o.pool) + ": " + error};
  print(save_doc(*report), o.json, print_save);
  return report->torn.empty() ? kConsistent : kInconsistent;
}

int restore(const Options& o) {
  std::string error;
  Json doc;
  if (restore_pool(o.file, o.pool, &doc, error) != 0) throw UsageError{error};
  print(doc, o.json, print_restore);
  return kConsistent;
}

// As zim_shm_pool_destroy in a process that does not own the pool, which
// says on stderr whose the pool is when it refuses.
int destroy(const Options& o) {
  if (zim_shm_pool_destroy_name(o.pool.c_str()) == 0) {
    std::cout << "destroyed the pool " << printable(o.pool) << "\n";
    return kConsistent;
  }
  const int err = errno;
  if (err == EPERM) return kInconsistent;
  const std::string why = err == ENOENT ? "no pool of that name"
                          : err == EINVAL
                              ? "not a pool name, or the name leads to something that is not a "
                                "complete pool of this version (left alone)"
                              : std::strerror(err);
  throw UsageError{"cannot destroy the pool " + printable(o.pool) + ": " + why};
}

int run(int argc, char** argv) {
  CLI::App app;
  Options o;
  const Subcommands commands = describe_command_line(app, o);
  check_command_word(
      argc, argv,
      {commands.types, commands.layout, commands.decode, commands.pool, commands.history,
       commands.destroy, commands.follow, commands.save, commands.restore});
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    throw UsageError{printable(e.what())};  // it quotes the command line
  }
  if (*commands.destroy) return destroy(o);
  if (*commands.save) return save(o);
  if (*commands.restore) return restore(o);
  const auto types =
      load_types(o.catalogue.empty() ? default_catalogue(argv[0]) : fs::path(o.catalogue));
  if (*commands.types) {
    print(types_doc(types), o.json, print_types);
    return kConsistent;
  }
  if (*commands.layout) return layout(o, types);
  if (*commands.decode) return decode_object(o, types);
  if (*commands.history) return history(o, types);
  if (*commands.follow) return follow(o, types);
  return pool(o, types);
}

// Messages quote the command line, file, pool and type names and the
// catalogue, each escaped where it is quoted, so that a name cannot forge a
// line; the rest is shown the way the generator shows definitions.
std::string escaped(const std::string& message) {
  std::string out;
  std::istringstream lines(message);
  for (std::string line; std::getline(lines, line);) {
    out += (out.empty() ? "" : "\n") + printable(line);
  }
  return out;
}

// Output that did not reach its file is a failure, whatever was found.
bool stdout_written() {
  errno = 0;
  std::cout.flush();
  const bool ok = std::fflush(stdout) == 0 && std::cout.good() && !std::ferror(stdout);
  if (!ok) {
    std::cerr << "zim_tables_inspect: error: cannot write standard output: "
              << (errno != 0 ? std::strerror(errno) : "write failed") << "\n";
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int status = kUsage;
  try {
    status = run(argc, argv);
  } catch (const UsageError& e) {
    tablegen::print_usage_error(std::cerr, "zim_tables_inspect", escaped(e.message));
  } catch (const ReadError& e) {
    std::cout.flush();  // what was read before, then why it stops there
    std::cerr << "zim_tables_inspect: error: " << escaped(e.what()) << "\n";
  } catch (const std::exception& e) {
    std::cerr << "zim_tables_inspect: error: " << escaped(e.what()) << "\n";
  }
  return stdout_written() ? status : kInconsistent;
}
