// SPDX-License-Identifier: Apache-2.0
// zim_tables_inspect: shows where everything of a table object lies, checks
// the bytes of one object against its type, and walks a pool's objects.
#include <zim/tables/platform.h>
#include <zim/tables/table_object.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "decode.hpp"
#include "gen/cli/command_line.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "object_bytes.hpp"
#include "pool.hpp"
#include "render.hpp"
#include "type_names.hpp"

namespace fs = std::filesystem;
using namespace zim_inspect;

namespace {

enum Exit { kConsistent = 0, kInconsistent = 1, kUsage = 2 };

constexpr const char* kFooter = R"(The catalogue is the layout manifest beside the tool
(../share/zim_tables/layout.manifest from its folder, installed or built), or
what --catalogue names: a manifest or a folder of definitions. N and the NPD
size default to what the platform reports to this process (for the simulated
platform: ZIM_MAX_NUM_NPUS, ZIM_NPD_SIZE, ZIM_NPD_SIZES).

pool and decode --pool take N and every NPD size from the pool's config
record, and each object's layout from the pool's layout record of its table
id (so a program's own types decode under their names), else from the
catalogue; --npus or --npd that disagrees with the pool is an error. A record
that does not read as its format says is reported, and never used. pool shows
whether the catalogue has each table id's recorded layout, and a migration's
progress; retired blocks are counted apart, never checked.

decode reads FILE, which must be a regular file, where it lies; with FILE '-'
it reads the object from standard input, up to 64 MiB. With --pool it reads
the pool as pool does, up to the object whose block starts at --offset, or
whose base header holds --uid (pool --list shows both), and reads that object
where it lies; TYPE then defaults to the block's table id. A retired block
(whose object a migration replaced, or that was retired) is labelled so, and
read by the layout it was made with.

Options follow their subcommand; --catalogue goes before or after it. Numbers
are plain decimal. --count is for types that take a count ('zim_tables_inspect
types' lists which types do); --npus and --npd apply to every type.

Exit status:
  0  done; decode and pool: every object is consistent
  1  decode and pool: an object or the pool is inconsistent (one line per
     problem); or standard output cannot be written
  2  usage error: bad arguments, unknown type, unreadable file, catalogue or
     pool; a file or pool cut short while it is read)";

fs::path default_catalogue(const char* argv0) {
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);  // wherever it was started from
  if (ec) exe = argv0;
  return exe.parent_path() / ".." / "share" / "zim_tables" / "layout.manifest";
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
  auto layouts = tablegen::load_layouts(path, diags);
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

struct Options {
  std::string catalogue, type, file, pool;
  std::optional<uint32_t> npus, npd, count, uid;
  std::optional<uint64_t> offset;
  bool json = false, list = false;
};

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

// Numbers as a script writes them: decimal digits, nothing else, within the
// option's range (CLI11 alone also takes signs, spaces and hex, and wraps a
// negative number).
CLI::Validator plain_decimal(uint64_t max) {
  return CLI::Validator(
      [max](const std::string& text) -> std::string {
        uint64_t value = 0;
        const char* end = text.data() + text.size();
        const auto [stop, ec] = std::from_chars(text.data(), end, value);
        const bool digits = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
          return c >= '0' && c <= '9';
        });
        if (digits && stop == end && ec == std::errc() && value <= max) return "";
        return "'" + text + "' is not a decimal number from 0 to " + std::to_string(max);
      },
      "");
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& w : words) text += (text.empty() ? "" : ", ") + w;
  return text;
}

// Before CLI11 sees the words: it calls a misspelt subcommand a missing one
// and refuses a subcommand's option given before it without saying where it
// belongs.
void check_command_word(int argc, char** argv, const std::vector<CLI::App*>& subcommands) {
  std::vector<std::string> names;
  for (const CLI::App* sub : subcommands) names.push_back(sub->get_name());
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--catalogue") {
      ++i;
      continue;
    }
    if (arg.rfind("--catalogue=", 0) == 0) continue;
    if (arg == "-h" || arg == "--help" || arg == "--version") return;
    if (arg.size() > 1 && arg[0] == '-') {
      const std::string option = arg.substr(0, arg.find('='));
      std::vector<std::string> takers;
      for (const CLI::App* sub : subcommands) {
        if (sub->get_option_no_throw(option) != nullptr) takers.push_back(sub->get_name());
      }
      if (takers.empty()) return;  // unknown everywhere: CLI11 says so
      throw UsageError{printable(option) + " is an option of " + joined(takers) +
                       ": put it after the subcommand"};
    }
    if (std::find(names.begin(), names.end(), arg) != names.end()) return;
    const std::string near = did_you_mean(nearest_names(names, arg));
    throw UsageError{"unknown subcommand " + printable(arg) + (near.empty() ? "" : "; " + near) +
                     "\nthe subcommands are " + joined(names)};
  }
}

// The options that size an object: N, the NPD size, and JSON output.
void add_sizing_options(Options& o, CLI::App* sub) {
  sub->add_option("--npus", o.npus, "N, the number of NPUs")->check(plain_decimal(UINT32_MAX));
  sub->add_option("--npd", o.npd, "NPD size in bytes")->check(plain_decimal(UINT32_MAX));
  sub->add_flag("--json", o.json, "print JSON");
}

CLI::App* add_decode(CLI::App& app, Options& o) {
  auto* decode_cmd =
      app.add_subcommand("decode", "check the object in FILE, or in a pool, and show its fields");
  decode_cmd->add_option("TYPE", o.type,
                         "type name or table id; with --pool, by default the block's table id");
  decode_cmd->add_option("FILE", o.file,
                         "the object's bytes from its first byte: a regular file, or - for "
                         "standard input (up to 64 MiB)");
  auto* from_pool = decode_cmd->add_option("--pool", o.pool, "read the object from the pool NAME")
                        ->type_name("NAME");
  auto* offset =
      decode_cmd->add_option("--offset", o.offset, "with --pool: the offset of the object's block")
          ->check(plain_decimal(UINT64_MAX));
  auto* uid = decode_cmd->add_option("--uid", o.uid, "with --pool: the uid the object holds")
                  ->type_name("UID")
                  ->check(plain_decimal(UINT32_MAX));
  offset->needs(from_pool)->excludes(uid);
  uid->needs(from_pool);
  add_sizing_options(o, decode_cmd);
  return decode_cmd;
}

int run(int argc, char** argv) {
  CLI::App app;
  tablegen::describe_tool(app, "zim_tables_inspect",
                          "zim_tables_inspect: the byte map of a table type's objects, and checks "
                          "of objects and pools against their types.",
                          ZIM_INSPECT_VERSION, kFooter);
  app.require_subcommand(1);
  // Inherited by the subcommands: --catalogue may follow one.
  app.fallthrough();
  Options o;
  app.add_option("--catalogue", o.catalogue,
                 "layout manifest or folder of definitions (before or after the subcommand)");
  auto* types_cmd = app.add_subcommand("types", "list the catalogue's types");
  types_cmd->add_flag("--json", o.json, "print JSON");
  auto* layout_cmd = app.add_subcommand("layout", "the byte map of one object of TYPE");
  layout_cmd->add_option("TYPE", o.type, "type name or table id")->required();
  add_sizing_options(o, layout_cmd);
  layout_cmd->add_option("--count", o.count, "the count, for types that take one")
      ->check(plain_decimal(UINT32_MAX));
  auto* decode_cmd = add_decode(app, o);
  auto* pool_cmd = app.add_subcommand("pool", "check every object of the pool NAME");
  pool_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  pool_cmd->add_flag("--list", o.list,
                     "also list every object and retired block: offset, type, size, uid");
  add_sizing_options(o, pool_cmd);
  check_command_word(argc, argv, {types_cmd, layout_cmd, decode_cmd, pool_cmd});
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    throw UsageError{printable(e.what())};  // it quotes the command line
  }
  const auto types =
      load_types(o.catalogue.empty() ? default_catalogue(argv[0]) : fs::path(o.catalogue));
  if (*types_cmd) {
    print(types_doc(types), o.json, print_types);
    return kConsistent;
  }
  if (*layout_cmd) return layout(o, types);
  if (*decode_cmd) return decode_object(o, types);
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
