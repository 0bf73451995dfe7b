// SPDX-License-Identifier: Apache-2.0
#include "gen/manifest/compat.hpp"

#include <algorithm>
#include <map>
#include <string>

#include "gen/emit/template.hpp"
#include "gen/text/diagnostics.hpp"

namespace tablegen {
namespace {

std::string header_text(const std::vector<HeaderField>& header) {
  std::string out;
  for (const auto& h : header) out += (out.empty() ? "" : " ") + item_text(h);
  return out;
}

std::string field_text(const FieldLayout& f) {
  return item_text(f) + (f.is_array() ? " with its flag pointer at " : " with flags at ") +
         str(f.flag_at);
}

std::string shown_name(const std::string& name) {
  return name.empty() ? std::string("(unnamed)") : "'" + name + "'";
}

bool same_field(const FieldLayout& a, const FieldLayout& b) {
  return a.kind == b.kind && a.offset == b.offset && a.width == b.width &&
         a.run_length == b.run_length && a.flag_at == b.flag_at;
}

std::string count_text(const std::optional<uint32_t>& count_field) {
  return count_field ? "a count at " + str(*count_field) : std::string("no count");
}

std::string wisp_text(const std::array<uint32_t, 6>& wisp) {
  std::string out;
  for (uint32_t w : wisp) out += (out.empty() ? "" : " ") + str(w);
  return out;
}

class Comparison {
 public:
  explicit Comparison(std::ostream& out) : out_(out) {}

  bool breaking() const { return breaking_; }

  void report(const std::string& path, int line, bool is_breaking, const std::string& what) {
    out_ << printable(path, 240) << ":" << std::max(line, 1) << ": "
         << (is_breaking ? "breaking: " : "compatible: ") << printable(what, 400) << "\n";
    breaking_ |= is_breaking;
  }

  void compare(const TypeLayout& o, const TypeLayout& n) {
    const std::string& t = n.name;
    const size_t before = reported_;
    auto breaks = [&](int line, const std::string& what, const std::string& why) {
      report(n.path, line, true, t + ": " + what + ": " + why);
      ++reported_;
    };
    if (o.table_id != n.table_id) {
      breaks(n.lines.id, "table id " + str(o.table_id) + " is now " + str(n.table_id),
             "its objects are sought in another table's pool and records");
    }
    if (o.type_class != n.type_class) {
      breaks(n.lines.type_class,
             std::string("class ") + class_keyword(o.type_class) + " is now " +
                 class_keyword(n.type_class),
             "the operations lay out, size and check its objects differently");
    }
    if (o.fixed_size != n.fixed_size) {
      breaks(n.lines.fixed_size, "fixed size " + str(o.fixed_size) + " is now " + str(n.fixed_size),
             "the NPD area and every array move");
    }
    if (o.count_field != n.count_field) {
      breaks(n.lines.count_field,
             count_text(o.count_field) + " is now " + count_text(n.count_field),
             "constructors take other arguments and the element count is read elsewhere");
    }
    if (o.size_check != n.size_check) {
      breaks(n.lines.size_check,
             std::string("size check switched ") + (n.size_check ? "on" : "off"),
             "the pointer fix-up judges the same objects differently");
    }
    if (o.sets_obj_flags_bit5 != n.sets_obj_flags_bit5) {
      breaks(
          n.lines.obj_flags_bit5,
          std::string("bit 5 of obj_flags is now ") + (n.sets_obj_flags_bit5 ? "set" : "cleared"),
          "the platform reads that bit of every object of the type");
    }
    if (o.header.size() != n.header.size() ||
        !std::equal(o.header.begin(), o.header.end(), n.header.begin(),
                    [](const HeaderField& a, const HeaderField& b) {
                      return a.offset == b.offset && a.width == b.width;
                    })) {
      breaks(n.lines.header,
             "type header " + header_text(o.header) + " is now " + header_text(n.header),
             "the header copies move other bytes, in another order");
    }
    const size_t common = std::min(o.fields.size(), n.fields.size());
    for (size_t i = 0; i < common; ++i) {
      if (!same_field(o.fields[i], n.fields[i])) {
        breaks(n.fields[i].line,
               "data field " + field_text(o.fields[i]) + " is now " + field_text(n.fields[i]),
               "processes on the old layout read and copy other bytes");
      } else if (o.fields[i].name != n.fields[i].name) {
        report(n.path, n.fields[i].line, false,
               t + ": data field " + field_text(n.fields[i]) + " is now named " +
                   shown_name(n.fields[i].name) + ", was " + shown_name(o.fields[i].name) +
                   ": objects are unchanged; sources follow the new constant names");
        ++reported_;
      }
    }
    for (size_t i = common; i < o.fields.size(); ++i) {
      breaks(n.lines.table, "data field " + field_text(o.fields[i]) + " removed",
             "processes on the old layout still read and copy it");
    }
    for (size_t i = common; i < n.fields.size(); ++i) {
      breaks(n.fields[i].line, "data field " + field_text(n.fields[i]) + " added",
             "processes on the old layout neither copy it nor leave room for it");
    }
    if (o.npd_present != n.npd_present) {
      breaks(n.lines.npd_present,
             "npd_present at " + str(o.npd_present) + " is now at " + str(n.npd_present),
             "the allocator marks the NPD area in another byte");
    }
    if (o.wisp != n.wisp) {
      report(n.path, n.lines.wisp, false,
             t + ": trace identifiers " + wisp_text(o.wisp) + " are now " + wisp_text(n.wisp) +
                 ": affects only the tracing that names them; objects are unchanged");
      ++reported_;
    }
    const std::pair<const char*, std::pair<uint32_t, uint32_t>> checks[] = {
        {"fix-up", {o.checks.fix_ptrs.line, n.checks.fix_ptrs.line}},
        {"size-pointer", {o.checks.size_ptr.line, n.checks.size_ptr.line}},
        {"allocation", {o.checks.alloc.line, n.checks.alloc.line}}};
    for (const auto& [name, lines] : checks) {
      if (lines.first == lines.second) continue;
      report(n.path, n.lines.checks, false,
             t + ": the " + name + " check now reports line " + line_text(lines.second) +
                 " instead of " + line_text(lines.first) +
                 ": affects only the text of its assertion report");
      ++reported_;
    }
    if (reported_ == before && !o.canonical_text.empty() && !n.canonical_text.empty() &&
        o.canonical_text != n.canonical_text) {
      report(n.path, n.lines.table, false,
             t + ": the comments of its definition changed; its layout did not");
    }
  }

 private:
  static std::string line_text(uint32_t line) { return line == 0 ? "none" : str(line); }

  std::ostream& out_;
  bool breaking_ = false;
  size_t reported_ = 0;
};

}  // namespace

bool compare_catalogues(const std::vector<TypeLayout>& older, const std::vector<TypeLayout>& newer,
                        std::ostream& out) {
  std::map<std::string, const TypeLayout*> old_by_name, new_by_name;
  std::map<uint32_t, const TypeLayout*> old_by_id, new_by_id;
  for (const auto& t : older) old_by_name[t.name] = &t, old_by_id[t.table_id] = &t;
  for (const auto& t : newer) new_by_name[t.name] = &t, new_by_id[t.table_id] = &t;

  Comparison comparison(out);
  for (const auto& [id, n] : new_by_id) {
    const auto same_name = old_by_name.find(n->name);
    if (same_name != old_by_name.end()) {
      comparison.compare(*same_name->second, *n);
      continue;
    }
    const auto same_id = old_by_id.find(id);
    if (same_id != old_by_id.end()) {
      comparison.report(n->path, n->lines.id, true,
                        "table id " + str(id) + " belonged to type '" + same_id->second->name +
                            "' and now names '" + n->name +
                            "': processes on the old catalogue take these objects for '" +
                            same_id->second->name + "' objects");
    } else {
      comparison.report(n->path, n->lines.id, false,
                        "new type '" + n->name + "' with table id " + str(id) +
                            ": processes on the old catalogue never meet its objects");
    }
  }
  for (const auto& [id, o] : old_by_id) {
    if (new_by_name.count(o->name) == 0 && new_by_id.count(id) == 0) {
      comparison.report(o->path, o->lines.table, true,
                        "type '" + o->name + "' (table id " + str(id) +
                            ") removed: processes on the old catalogue still create and read its "
                            "objects");
    }
  }
  return comparison.breaking();
}

}  // namespace tablegen
