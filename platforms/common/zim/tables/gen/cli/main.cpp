// SPDX-License-Identifier: Apache-2.0
// zim_tablegen: turns the table type definitions into the library's units,
// and guards the layout they describe.
//
// Pipeline: read every definition -> resolve the offsets and sizes it leaves
// out -> validate each, then the catalogue ->
// plan each type's layout -> emit the files one at a time into a staging
// folder -> publish the set as a whole.
// Nothing is written unless every definition is valid.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <system_error>
#include <vector>

#include "gen/cli/command_line.hpp"
#include "gen/cli/format_command.hpp"
#include "gen/cli/generated_set.hpp"
#include "gen/cli/output_tree.hpp"
#include "gen/load/catalogue_loader.hpp"
#include "gen/manifest/compat.hpp"
#include "gen/manifest/manifest.hpp"
#include "gen/text/diagnostics.hpp"

namespace fs = std::filesystem;
using namespace tablegen;

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kMigrated = 3 };

constexpr const char* kFooter = R"(Modes:
  zim_tablegen DEFS_DIR OUT_DIR      generate the units, headers, export map, catalogue
                                     and layout manifest into OUT_DIR, which zim_tablegen
                                     owns and replaces as a whole
  zim_tablegen --check DEFS_DIR      read, validate and plan the definitions; write nothing
  zim_tablegen --manifest DEFS_DIR   print the layout manifest
  zim_tablegen --list-outputs DEFS_DIR
                                     print the files that generating DEFS_DIR writes,
                                     one path below OUT_DIR a line; nothing when a
                                     definition is invalid
  zim_tablegen --compat OLD NEW      compare two catalogues for processes that share
                                     objects, and say of each breaking difference
                                     whether a migration of the objects carries it;
                                     OLD and NEW are definition folders or manifests;
                                     a summary line per type that differs, then the
                                     details
  zim_tablegen --compat --both-ways OLD NEW
                                     also say, per type, whether programs of OLD can
                                     take back a pool that NEW wrote (a rollback)
  zim_tablegen --format FILE         print a definition in its canonical form, every
                                     offset, flags_at and fixed_size written out
  zim_tablegen --format --write PATH...
                                     rewrite definition files, or every definition of
                                     a folder, in canonical form where it differs

Exit status:
  0  success; with --compat: every difference is compatible
  1  a definition is invalid or a file could not be written; with --compat: a
     breaking difference that no migration carries
  2  usage error; with --compat: either catalogue is invalid
  3  with --compat: breaking, and a migration of the objects carries every
     difference (--both-ways does not change the status))";

int report_failure(const Diagnostics& diags, bool wrote_nothing) {
  diags.print(std::cerr);
  if (wrote_nothing) std::cerr << "zim_tablegen: note: no files written\n";
  return kFailed;
}

int generate(const fs::path& defs_dir, const fs::path& out_dir) {
  Diagnostics diags;
  const auto catalogue = load_catalogue(defs_dir, diags);
  if (!catalogue) return report_failure(diags, true);
  const auto emit = [&](OutputSink& out) { emit_generated_set(*catalogue, out); };
  if (!publish_tree(out_dir, emit, diags)) return report_failure(diags, true);
  return kOk;
}

int check(const fs::path& defs_dir) {
  Diagnostics diags;
  return load_catalogue(defs_dir, diags) ? kOk : report_failure(diags, false);
}

// The files that a generation would write, as it would name them: the
// output list of a build that knows only the definitions folder.
int list_outputs(const fs::path& defs_dir) {
  Diagnostics diags;
  const auto catalogue = load_catalogue(defs_dir, diags);
  if (!catalogue) return report_failure(diags, false);
  PathListing listing(std::cout);
  emit_generated_set(*catalogue, listing);
  return kOk;
}

int print_manifest(const fs::path& defs_dir) {
  Diagnostics diags;
  const auto catalogue = load_catalogue(defs_dir, diags);
  if (!catalogue) return report_failure(diags, false);
  TextPrinter printer(std::cout);
  emit_manifest(*catalogue, printer);
  return kOk;
}

int compat(const fs::path& older, const fs::path& newer, bool both_ways) {
  Diagnostics diags;
  const auto old_layouts = load_layouts(older, diags);
  const auto new_layouts = load_layouts(newer, diags);
  if (!old_layouts || !new_layouts) {
    diags.print(std::cerr);
    return kUsage;
  }
  switch (compare_catalogues(*old_layouts, *new_layouts, std::cout, both_ways)) {
    case CompatVerdict::kCompatible:
      return kOk;
    case CompatVerdict::kBreakingMigrated:
      return kMigrated;
    case CompatVerdict::kBreakingNotMigrated:
      break;
  }
  return kFailed;
}

int format(const std::vector<std::string>& operands, bool write) {
  Diagnostics diags;
  const std::vector<fs::path> paths(operands.begin(), operands.end());
  // Printed only once it is complete: an invalid definition prints nothing.
  std::ostringstream text;
  if (!format_definitions(paths, write, text, diags)) return report_failure(diags, false);
  std::cout << text.str();
  return kOk;
}

int usage_error(const std::string& message) {
  print_usage_error(std::cerr, "zim_tablegen", printable(message, 400));
  return kUsage;
}

int run(int argc, char** argv) {
  CLI::App app;
  describe_tool(app, "zim_tablegen",
                "zim_tablegen: generates the table library's per-type units from table type "
                "definitions and guards their layout.",
                ZIM_TABLEGEN_VERSION, kFooter);
  bool check_only = false, manifest = false, listing = false, compare = false, formatting = false,
       write = false, both_ways = false;
  std::vector<std::string> operands;
  auto* check_flag =
      app.add_flag("--check", check_only, "read, validate and plan DEFS_DIR; write nothing");
  auto* manifest_flag = app.add_flag("--manifest", manifest, "print the layout manifest");
  auto* list_flag =
      app.add_flag("--list-outputs", listing, "print the files that generating DEFS_DIR writes");
  auto* compat_flag = app.add_flag("--compat", compare, "compare catalogue OLD with NEW");
  auto* format_flag = app.add_flag("--format", formatting, "print FILE in canonical form");
  app.add_flag("--write", write, "with --format: rewrite each PATH in place")->needs(format_flag);
  app.add_flag("--both-ways", both_ways, "with --compat: also judge a rollback from NEW to OLD")
      ->needs(compat_flag);
  check_flag->excludes(manifest_flag)->excludes(list_flag)->excludes(compat_flag);
  check_flag->excludes(format_flag);
  manifest_flag->excludes(list_flag)->excludes(compat_flag)->excludes(format_flag);
  list_flag->excludes(compat_flag)->excludes(format_flag);
  compat_flag->excludes(format_flag);
  app.add_option("operands", operands,
                 "DEFS_DIR [OUT_DIR], OLD NEW with --compat, FILE or PATH... with --format");
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);  // --help, --version: stdout, exit 0
  } catch (const CLI::ParseError& e) {
    return usage_error(e.what());
  }
  if (formatting) {
    std::error_code ec;
    if (write ? operands.empty() : operands.size() != 1 || fs::is_directory(operands[0], ec)) {
      return usage_error(write ? "--format --write takes definition files or folders"
                               : "--format takes one definition file");
    }
    return format(operands, write);
  }
  const size_t wanted = compare ? 2 : (check_only || manifest || listing) ? 1 : 2;
  if (operands.size() != wanted) {
    return usage_error(compare       ? "--compat takes OLD and NEW"
                       : wanted == 1 ? "expected DEFS_DIR"
                                     : "expected DEFS_DIR and OUT_DIR");
  }
  if (compare) return compat(operands[0], operands[1], both_ways);
  std::error_code ec;
  if (!fs::is_directory(operands[0], ec)) {
    return usage_error("DEFS_DIR " + operands[0] + " is not a folder of definitions");
  }
  if (check_only) return check(operands[0]);
  if (manifest) return print_manifest(operands[0]);
  if (listing) return list_outputs(operands[0]);
  return generate(operands[0], operands[1]);
}

// Standard output, written straight to its descriptor, keeping the cause of
// the first write that failed for the message that reports it.
class StandardOutput final : public std::streambuf {
 public:
  StandardOutput() { setp(buffer_, buffer_ + sizeof buffer_); }
  int error() const { return error_; }

 private:
  int overflow(int c) override {
    if (sync() != 0) return traits_type::eof();
    if (c != traits_type::eof()) {
      *pptr() = static_cast<char>(c);
      pbump(1);
    }
    return traits_type::not_eof(c);
  }
  int sync() override {
    for (const char* p = pbase(); p < pptr() && error_ == 0;) {
      const ssize_t n = write(STDOUT_FILENO, p, static_cast<size_t>(pptr() - p));
      if (n > 0) {
        p += n;
      } else if (n == 0 || errno != EINTR) {
        error_ = n == 0 ? EIO : errno;
      }
    }
    setp(buffer_, buffer_ + sizeof buffer_);
    return error_ == 0 ? 0 : -1;
  }

  char buffer_[1 << 14];
  int error_ = 0;
};

// Whatever a mode prints to standard output is its result (a manifest, a
// report, help): one that did not arrive fails the run, in every mode.
int finish_standard_output(StandardOutput& out, int status) {
  std::cout.flush();
  if (out.error() == 0) return status;
  std::cerr << "zim_tablegen: error: cannot write standard output: "
            << std::error_code(out.error(), std::generic_category()).message() << "\n";
  return status == kOk ? kFailed : status;
}

}  // namespace

int main(int argc, char** argv) {
  // A write past a file-size limit then fails with an error, not a signal.
  signal(SIGXFSZ, SIG_IGN);
  StandardOutput out;
  std::streambuf* const stdio_buffer = std::cout.rdbuf(&out);
  int status;
  try {
    status = run(argc, argv);
  } catch (const std::exception& e) {
    // Every expected failure is reported where it happens; this is the last
    // line of defence against ending on an uncaught exception.
    std::cerr << "zim_tablegen: error: " << printable(e.what(), 400) << "\n";
    status = kFailed;
  }
  status = finish_standard_output(out, status);
  std::cout.rdbuf(stdio_buffer);
  return status;
}
