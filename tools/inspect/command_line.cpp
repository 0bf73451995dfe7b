// SPDX-License-Identifier: Apache-2.0
#include "command_line.hpp"

#include <algorithm>
#include <charconv>

#include "gen/cli/command_line.hpp"
#include "object_bytes.hpp"
#include "render.hpp"
#include "type_names.hpp"

namespace zim_inspect {
namespace {

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
whether the catalogue has each table id's recorded layout, and a migration
under way with its progress and what finishes it (no problem: a conversion
it was making when its process stopped is part of it); retired blocks are
counted apart, never checked. history lists the completed migrations and the
layouts they superseded, from the retired records the pool keeps. destroy
removes a pool whose owner is gone, and refuses one whose owner lives.

follow maps a versioned pool (so this process's N and NPD sizes must be the
pool's) and prints one line per change as it happens: sequence, kind, table
id, offset, pool id, version (key for index changes); --json prints one JSON
object a line, --decode adds each created or changed object's fields, copied
whole. A follower that fell a ring behind ("lapped") or met a change that is
unknown ("lost") resyncs: a "resync" line for each object changed or retired
since, then "resynced". It ends with an "end:" line, status 0, on SIGINT or
SIGTERM, when the pool's name no longer leads to it (destroyed), or when its
owner hands it over. While it maps the pool, the owner cannot migrate or
retire (other processes map it).

save maps a versioned pool as follow does and writes its image to FILE: each
object whole at one of its versions (copied again while a write came in
between; one that a dead writer left torn is named and left out), the pool's
records, its index and the feed's next sequence, into a temporary file of
FILE's folder renamed to FILE once complete; its server runs on meanwhile.
restore checks an image whole (checksum, format, every count and size, table
ids, pool ids, layouts, this process's N and NPD sizes) and only then makes
the pool NAME from it, handed over: a server adopts it (and migrates it, when
its types' layouts changed) as any handed-over pool.

decode reads FILE, which must be a regular file, where it lies; with FILE '-'
it reads the object from standard input, up to 64 MiB. With --pool it reads
the pool as pool does, up to the object whose block starts at --offset, or
whose base header holds --uid (pool --list shows both), and reads that object
where it lies; TYPE then defaults to the block's table id. A retired block
(whose object a migration replaced, or that was retired) is labelled so, and
read by the layout it was made with, or refused when the pool no longer
records that layout.

Options follow their subcommand; --catalogue goes before or after it. Numbers
are plain decimal. --count is for types that take a count ('zim_tables_inspect
types' lists which types do); --npus and --npd apply to every type.

Exit status:
  0  done; decode and pool: every object is consistent (a migration under
     way included); destroy: the pool's name is gone; follow: it ended
  1  decode and pool: an object or the pool is inconsistent (one line per
     problem); history: a record is not trusted; destroy: the pool's owner
     lives, or its name cannot be removed; save: an object was left out;
     or standard output cannot be written
  2  usage error: bad arguments, unknown type, unreadable file, catalogue or
     pool; a file or pool cut short while it is read)";

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

}  // namespace

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

Subcommands describe_command_line(CLI::App& app, Options& o) {
  tablegen::describe_tool(app, "zim_tables_inspect",
                          "zim_tables_inspect: the byte map of a table type's objects, and checks "
                          "of objects and pools against their types.",
                          ZIM_INSPECT_VERSION, kFooter);
  app.require_subcommand(1);
  // Inherited by the subcommands: --catalogue may follow one.
  app.fallthrough();
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
  auto* history_cmd = app.add_subcommand(
      "history", "the completed migrations and superseded layouts of the pool NAME");
  history_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  history_cmd->add_flag("--json", o.json, "print JSON");
  auto* destroy_cmd =
      app.add_subcommand("destroy", "remove the pool NAME, once the process that owned it is gone");
  destroy_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  auto* follow_cmd = app.add_subcommand(
      "follow", "print the changes of the versioned pool NAME as they happen, until interrupted");
  follow_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  follow_cmd->add_flag("--decode", o.decode, "also show each created or changed object's fields");
  add_sizing_options(o, follow_cmd);
  auto* save_cmd = app.add_subcommand(
      "save", "write an image of the versioned pool NAME to FILE while its server runs");
  save_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  save_cmd->add_option("FILE", o.file, "the image to write (replaced once complete)")->required();
  save_cmd->add_flag("--json", o.json, "print JSON");
  auto* restore_cmd = app.add_subcommand(
      "restore", "make the kept pool NAME from the image FILE, for a server to adopt");
  restore_cmd->add_option("FILE", o.file, "an image that save wrote")->required();
  restore_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  restore_cmd->add_flag("--json", o.json, "print JSON");
  return {types_cmd,   layout_cmd, decode_cmd, pool_cmd,   history_cmd,
          destroy_cmd, follow_cmd, save_cmd,   restore_cmd};
}

}  // namespace zim_inspect
