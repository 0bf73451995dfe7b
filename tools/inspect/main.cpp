// zim_tables_inspect: shows where everything of a table object lies, checks
// the bytes of one object against its type, and walks a pool's objects.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zim/tables/platform.h>
#include <zim/tables/table_object.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue_loader.hpp"
#include "decode.hpp"
#include "pool.hpp"
#include "render.hpp"

namespace fs = std::filesystem;
using namespace zim_inspect;

namespace {

enum Exit { kConsistent = 0, kInconsistent = 1, kUsage = 2 };

// A pipe cannot be mapped; this much of it is buffered, far more than any
// object of the catalogue's types with a realistic count.
constexpr size_t kStdinLimit = size_t{64} << 20;

constexpr const char* kFooter = R"(The catalogue is the layout manifest beside the tool
(../share/zim_tables/layout.manifest from its folder, installed or built), or
what --catalogue names: a manifest or a folder of definitions. N and the NPD
size default to what the platform reports to this process (for the simulated
platform: ZIM_MAX_NUM_NPUS, ZIM_NPD_SIZE, ZIM_NPD_SIZES).

decode maps FILE, which must be a regular file; with FILE '-' it reads the
object from standard input, up to 64 MiB.

Exit status:
  0  done; decode and pool: every object is consistent
  1  decode and pool: an object or the pool is inconsistent (one line per
     problem); or standard output cannot be written
  2  usage error: bad arguments, unknown type, unreadable file, catalogue or pool)";

struct UsageError {
  std::string message;
};

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
    throw UsageError{t.path + ": type " + t.name + ": " + *outside};
  }
}

std::vector<TypeLayout> load_types(const fs::path& path) {
  tablegen::Diagnostics diags;
  auto layouts = tablegen::load_layouts(path, diags);
  if (!layouts) {
    std::ostringstream text;
    diags.print(text);
    throw UsageError{"cannot read the catalogue " + path.string() + ":\n" + text.str()};
  }
  for (size_t i = 0; i < layouts->size(); ++i) {
    if ((*layouts)[i].table_id != i) {
      throw UsageError{path.string() + ": table ids do not run densely from 0"};
    }
    check_bounds((*layouts)[i]);
  }
  return std::move(*layouts);
}

const TypeLayout& find_type(const std::vector<TypeLayout>& types, const std::string& key) {
  for (const auto& t : types) {
    if (t.name == key || std::to_string(t.table_id) == key) return t;
  }
  throw UsageError{"no table type " + key + " in the catalogue"};
}

struct Options {
  std::string catalogue, type, file, pool;
  std::optional<uint32_t> npus, npd;
  uint32_t count = 0;
  bool json = false;
};

Sizing sizing_for(const Options& o, uint32_t table_id) {
  Sizing s;
  s.npus = o.npus ? *o.npus : hulcon_config_get_max_num_npus();
  if (o.npd) {
    s.npd_size = *o.npd;
  } else if (table_id < ZIM_NUM_TABLE_TYPES) {
    s.npd_size = qor_npd_get_table_size(table_id);
  } else {
    throw UsageError{"the platform knows no NPD size for table id " + std::to_string(table_id) +
                     ": give --npd"};
  }
  s.count = o.count;
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
  const Sizing s = sizing_for(o, t.table_id);
  const ObjectMap map = place(t, s);
  Json doc = {{"type", t.name},
              {"table_id", t.table_id},
              {"class", tablegen::class_keyword(t.type_class)},
              {"npus", s.npus},
              {"npd_size", s.npd_size},
              {"count", t.count_field ? Json(s.count) : Json(nullptr)},
              {"size", map.end}};
  Json regions_json = Json::array();
  for (const Region& r : regions(t, s, map)) {
    regions_json.push_back({{"offset", r.offset}, {"size", r.size}, {"what", r.what}});
  }
  doc["regions"] = std::move(regions_json);
  print(doc, o.json, print_layout);
  return kConsistent;
}

// The bytes decode reads: a regular file mapped read-only, so that its size
// costs no memory, or standard input read into a bounded buffer.
class ObjectBytes {
 public:
  explicit ObjectBytes(const std::string& file) {
    if (file == "-") {
      read_stdin();
      return;
    }
    // Non-blocking, so that a FIFO is refused rather than waited on.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw UsageError{"cannot read " + file + ": " + std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
      const int err = errno;
      ::close(fd);
      throw UsageError{"cannot read " + file + ": " + std::strerror(err)};
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      throw UsageError{file + " is not a regular file (give - to read standard input)"};
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ != 0) {
      void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
      if (p == MAP_FAILED) {
        const int err = errno;
        ::close(fd);
        throw UsageError{"cannot map " + file + ": " + std::strerror(err)};
      }
      mapped_ = static_cast<const unsigned char*>(p);
    }
    ::close(fd);
  }
  ~ObjectBytes() {
    if (mapped_) ::munmap(const_cast<unsigned char*>(mapped_), size_);
  }
  ObjectBytes(const ObjectBytes&) = delete;
  ObjectBytes& operator=(const ObjectBytes&) = delete;

  ByteSpan span() const {
    return mapped_ ? ByteSpan{mapped_, size_} : ByteSpan{buffer_.data(), buffer_.size()};
  }

 private:
  void read_stdin() {
    unsigned char chunk[65536];
    for (;;) {
      const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
      if (n == 0) return;
      if (n < 0) {
        if (errno == EINTR) continue;
        throw UsageError{std::string("cannot read standard input: ") + std::strerror(errno)};
      }
      if (buffer_.size() + static_cast<size_t>(n) > kStdinLimit) {
        throw UsageError{
            "standard input holds more than 64 MiB, the most decode reads from it: "
            "give the object as a file"};
      }
      buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
  }

  const unsigned char* mapped_ = nullptr;
  size_t size_ = 0;
  std::vector<unsigned char> buffer_;
};

int decode_file(const Options& o, const std::vector<TypeLayout>& types) {
  const TypeLayout& t = find_type(types, o.type);
  const Sizing sizing = sizing_for(o, t.table_id);
  const ObjectBytes bytes(o.file);
  const Decoded d = decode(t, bytes.span(), sizing);
  print(d.view, o.json, print_object);
  return d.problems.empty() ? kConsistent : kInconsistent;
}

int pool(const Options& o, const std::vector<TypeLayout>& types) {
  PoolContext context{&types, [&](uint32_t table_id) { return sizing_for(o, table_id); }};
  std::string error;
  const auto report = inspect_pool(o.pool, context, error);
  if (!report) throw UsageError{"cannot walk the pool " + o.pool + ": " + error};
  print(*report, o.json, print_pool);
  return (*report)["consistent"].get<bool>() ? kConsistent : kInconsistent;
}

int run(int argc, char** argv) {
  CLI::App app(
      "zim_tables_inspect: the byte map of a table type's objects, and checks of "
      "objects and pools against their types.",
      "zim_tables_inspect");
  app.set_version_flag("--version", std::string("zim_tables_inspect ") + ZIM_INSPECT_VERSION);
  app.footer(kFooter);
  app.require_subcommand(1);
  Options o;
  app.add_option("--catalogue", o.catalogue, "layout manifest or folder of definitions");
  auto sizing_options = [&](CLI::App* sub) {
    sub->add_option("--npus", o.npus, "N, the number of NPUs");
    sub->add_option("--npd", o.npd, "NPD size in bytes");
    sub->add_flag("--json", o.json, "print JSON");
  };
  auto* layout_cmd = app.add_subcommand("layout", "the byte map of one object of TYPE");
  layout_cmd->add_option("TYPE", o.type, "type name or table id")->required();
  sizing_options(layout_cmd);
  layout_cmd->add_option("--count", o.count, "the count, for types that take one");
  auto* decode_cmd = app.add_subcommand("decode", "check the object in FILE and show its fields");
  decode_cmd->add_option("TYPE", o.type, "type name or table id")->required();
  decode_cmd
      ->add_option("FILE", o.file,
                   "the object's bytes from its first byte: a regular file, or - for standard "
                   "input (up to 64 MiB)")
      ->required();
  sizing_options(decode_cmd);
  auto* pool_cmd = app.add_subcommand("pool", "check every object of the pool NAME");
  pool_cmd->add_option("NAME", o.pool, "pool name, e.g. /zim_demo")->required();
  sizing_options(pool_cmd);
  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    throw UsageError{e.what()};
  }
  const auto types =
      load_types(o.catalogue.empty() ? default_catalogue(argv[0]) : fs::path(o.catalogue));
  if (*layout_cmd) return layout(o, types);
  if (*decode_cmd) return decode_file(o, types);
  return pool(o, types);
}

// Messages quote the command line, file and pool names and the catalogue:
// each line is shown the way the generator shows definitions.
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
    std::cerr << "zim_tables_inspect: error: " << escaped(e.message)
              << "\nRun 'zim_tables_inspect --help' for usage.\n";
  } catch (const std::exception& e) {
    std::cerr << "zim_tables_inspect: error: " << escaped(e.what()) << "\n";
  }
  return stdout_written() ? status : kInconsistent;
}
