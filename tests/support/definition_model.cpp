// SPDX-License-Identifier: Apache-2.0
#include "definition_model.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <set>

namespace model {
namespace {

using U128 = unsigned __int128;
// Numbers saturate here: far above every limit, and sums and products of a
// few of them still fit in 128 bits.
constexpr U128 kHuge = U128{1} << 60;

// Decimal digits, no sign, no leading zero.
std::optional<U128> number(std::string_view s) {
  if (s.empty() || (s.size() > 1 && s[0] == '0')) return std::nullopt;
  U128 v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = std::min<U128>(v * 10 + static_cast<unsigned>(c - '0'), kHuge);
  }
  return v;
}

struct Item {
  char kind;  // 'i' inline, 'N' per-NPU array, 'C' counted array
  U128 off, w, n;
  bool given = true;  // false: no "off:", placed at the field's alignment
};

// "off:w", "off:wxn", "off:exN", "off:exC", each also without "off:".
std::optional<Item> item(std::string_view s) {
  const size_t colon = s.find(':');
  const std::string_view rest = colon == s.npos ? s : s.substr(colon + 1);
  const size_t x = rest.find('x');
  const auto off = colon == s.npos ? U128{0} : number(s.substr(0, colon));
  const auto w = number(rest.substr(0, x));
  if (!off || !w) return std::nullopt;
  const bool given = colon != s.npos;
  if (x == rest.npos) return Item{'i', *off, *w, 1, given};
  const std::string_view tail = rest.substr(x + 1);
  if (tail == "N" || tail == "C") return Item{tail[0], *off, *w, 1, given};
  const auto n = number(tail);
  if (!n) return std::nullopt;
  return Item{'i', *off, *w, *n, given};
}

// Value counts per key; `field` may repeat, every other key is given once.
const std::map<std::string_view, std::pair<size_t, size_t>> kKeys = {
    {"table", {1, 1}},       {"id", {1, 1}},         {"class", {1, 1}},
    {"fixed_size", {1, 1}},  {"header", {2, 5}},     {"flags_at", {1, 1}},
    {"count_field", {1, 1}}, {"size_check", {1, 1}}, {"obj_flags_bit5", {1, 1}},
    {"wisp", {6, 6}}};
// Words are separated by blanks; CR also ends CRLF lines.
constexpr std::string_view kSpace = " \t\r\v\f";
const std::string_view kClasses[] = {"fixed", "size_checked", "per_npu", "counted", "count_only"};

// Whether a name is no field name: 1 to 48 of a-z, 0-9 and _, from a letter.
bool bad_name(std::string_view name) {
  return name.size() > 48 || name[0] < 'a' || name[0] > 'z' ||
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != name.npos;
}

// The judgement of one definition, stage by stage: each stage returns the
// first rule its part breaks, or "".
struct Judge {
  explicit Judge(Model& model) : m(model) {}
  Model& m;
  std::map<std::string_view, std::vector<std::string_view>> keys;
  std::vector<std::string_view> fields, names, old_names;
  const std::string_view* cls = nullptr;
  bool size_check = false;
  std::optional<U128> fixed_size, flags_at;
  std::vector<std::pair<U128, U128>> header;
  std::vector<Item> items;
  U128 end = 0, n = 0;
  uint64_t nn = 0, nc = 0;

  std::string_view one(std::string_view key) { return keys[key][0]; }
  // Left out, fixed_size and flags_at take the values the rules below demand.
  std::optional<U128> given(std::string_view key) {
    return keys.count(key) ? number(one(key)) : std::optional<U128>(kHuge + 1);
  }

  std::string lines_and_keys(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    while (!text.empty()) {
      const size_t eol = text.find('\n');
      std::string_view line = text.substr(0, eol);
      text.remove_prefix(eol == text.npos ? text.size() : eol + 1);
      line = line.substr(0, line.find('#'));
      std::vector<std::string_view> words;
      for (size_t i = 0; i < line.size();) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (kSpace.find(static_cast<char>(c)) != kSpace.npos) {
          ++i;
          continue;
        }
        if (c < 0x21 || c > 0x7e) return "byte outside a comment that is no printable ASCII";
        const size_t word_end = std::min(line.find_first_of(kSpace, i), line.size());
        words.push_back(line.substr(i, word_end - i));
        i = word_end;
      }
      if (words.empty()) continue;
      const std::vector<std::string_view> values(words.begin() + 1, words.end());
      if (words[0] == "field") {
        const bool was = values.size() == 4 && values[2] == "was";
        if (values.size() != 1 && values.size() != 2 && !was)
          return "a field line holds an item, a name and 'was' an old name";
        fields.push_back(values[0]);
        names.push_back(values.size() >= 2 ? values[1] : std::string_view());
        old_names.push_back(was ? values[3] : std::string_view());
        continue;
      }
      const auto key = kKeys.find(words[0]);
      if (key == kKeys.end()) return "unknown key";
      if (values.size() < key->second.first || values.size() > key->second.second)
        return "wrong number of values";
      if (!keys.emplace(words[0], values).second) return "key given twice";
    }
    for (const auto& [key, counts] : kKeys) {
      const bool derivable = key == "fixed_size" || key == "flags_at";
      if (key != "count_field" && !derivable && keys.count(key) == 0) return "missing key";
    }
    return fields.empty() ? "no field lines" : "";
  }

  // Name, id, class, switches, wisp, header and count field.
  std::string identity_and_header(std::string_view file_name) {
    const std::string_view name = one("table");
    if (name.size() < 3 || name.size() > 22 || name[0] < 'a' || name[0] > 'z' ||
        name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789_") != name.npos)
      return "bad name";
    m.name = name;
    const auto id = number(one("id"));
    if (!id || *id > 65535) return "bad id";
    m.id = static_cast<uint64_t>(*id);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%03u_%s.tdef", static_cast<unsigned>(m.id),
                  m.name.c_str());
    if (!file_name.empty() && file_name != expected) return "file name does not match";

    cls = std::find(std::begin(kClasses), std::end(kClasses), one("class"));
    if (cls == std::end(kClasses)) return "bad class";
    if (one("size_check") != "on" && one("size_check") != "off") return "bad size_check";
    if (one("obj_flags_bit5") != "set" && one("obj_flags_bit5") != "clear")
      return "bad obj_flags_bit5";
    size_check = one("size_check") == "on";
    for (size_t i = 0; i < 6; ++i) {
      const auto v = number(keys["wisp"][i]);
      if (!v || *v > UINT32_MAX) return "bad wisp value";
      m.wisp[i] = static_cast<uint64_t>(*v);
    }
    fixed_size = given("fixed_size");
    flags_at = given("flags_at");
    if (!fixed_size || !flags_at) return "bad number";
    for (std::string_view f : keys["header"]) {
      const auto h = item(f);
      if (f.find('x') != f.npos || !h) return "malformed header field";
      if (h->w != 1 && h->w != 2 && h->w != 4 && h->w != 8) return "bad header width";
      if (h->off % h->w != 0 || h->off < 192) return "misplaced header field";
      header.emplace_back(h->off, h->w);
    }
    std::sort(header.begin(), header.end());
    for (size_t i = 1; i < header.size(); ++i) {
      if (header[i].first < header[i - 1].first + header[i - 1].second) return "header overlap";
    }

    const bool counts = *cls == "counted" || *cls == "count_only";
    if ((keys.count("count_field") != 0) != counts) return "count_field and class disagree";
    if (counts) {
      const auto c = number(one("count_field"));
      if (!c || std::none_of(header.begin(), header.end(),
                             [&](const auto& h) { return h.first == *c && h.second == 4; }))
        return "count field is no 4-byte header field";
    }
    return "";
  }

  // Fields where their offsets or alignments place them, and their names.
  std::string placed_fields() {
    end = header.back().first + header.back().second;
    for (std::string_view f : fields) {
      auto it = item(f);
      if (!it) return "malformed field";
      if (!it->given) {
        const U128 a = it->kind != 'i' || it->w == 16           ? 8
                       : it->w == 2 || it->w == 4 || it->w == 8 ? it->w
                                                                : 1;
        it->off = (end + a - 1) / a * a;
      }
      if (it->off < end || it->off - end > 7) return "field overlaps or leaves a gap over 7";
      // The only padding is the one up to the field's own alignment of 2, 4 or 8.
      const auto pads_to = [&](U128 a) { return it->off % a == 0 && it->off - end < a; };
      if (it->off != end && !pads_to(2) && !pads_to(4) && !pads_to(8))
        return "gap that no alignment explains";
      if (it->kind == 'i') {
        if (it->w == 0 || it->n == 0) return "empty field";
        end = it->off + it->w * it->n;
        n += it->n;
      } else {
        if (it->off % 8 != 0) return "unaligned array pointer";
        if (it->w == 0 || it->w > 4294901758u) return "bad element size";
        end = it->off + 8;
        n += 1;
        ++(it->kind == 'N' ? nn : nc);
      }
      if (end > 65536) return "field ends beyond 65536";
      items.push_back(*it);
    }
    if (*flags_at != end && *flags_at != kHuge + 1)
      return "flags_at is not the end of the last field";
    // Names become parts of the header's constants ZIM_<T>_FIELD_<NAME>_<WHAT>,
    // unnamed fields go by their number; no constant may come out twice.
    std::set<std::string> constants;
    for (size_t i = 0; i < items.size(); ++i) {
      std::string label(names[i]);
      if (!label.empty()) {
        if (bad_name(label)) return "bad field name";
        for (char& ch : label) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
      } else {
        label = std::to_string(i);
      }
      const auto whats = items[i].kind == 'i'
                             ? std::vector<const char*>{"OFFSET", "WIDTH", "RUN", "FLAG"}
                             : std::vector<const char*>{"PTR",  "FLAGS_PTR",      "ELEM_SIZE",
                                                        "KIND", "STORAGE_OFFSET", "FLAGS_OFFSET"};
      for (const char* what : whats) {
        if (!constants.insert(label + "_" + what).second) return "field constants clash";
      }
    }
    return "";
  }

  // An old name is a field name too, another than the field's, and one field's only.
  std::string old_names_claimed() const {
    std::set<std::string_view> claimed;
    for (size_t i = 0; i < names.size(); ++i) {
      const std::string_view old = old_names[i];
      if (!old.empty() && (bad_name(old) || old == names[i] || !claimed.insert(old).second))
        return "bad old name";
    }
    return "";
  }

  std::string sizes_and_class() {
    U128 cursor = end;
    for (const Item& it : items) {
      if (it.kind != 'i') cursor = (cursor + 7) / 8 * 8;
      m.flag_at.push_back(static_cast<uint64_t>(cursor));
      cursor += it.kind == 'i' ? it.n : 8;
    }
    m.npd_present = static_cast<uint64_t>(cursor);
    const U128 size = (cursor / 8 + 1) * 8;
    if ((*fixed_size != size && *fixed_size != kHuge + 1) || size > 65536)
      return "wrong fixed_size";

    U128 one_of_each = size;
    for (const Item& it : items) one_of_each += it.kind == 'i' ? 0 : it.w + 1;
    if (one_of_each > 4294967295u) return "arrays past a 32-bit object";

    const bool arrays = nn + nc > 0;
    const bool class_holds[] = {!arrays && !size_check, !arrays && size_check,
                                nn > 0 && nc == 0 && size_check, nc > 0 && size_check,
                                !arrays && !size_check};
    const size_t c = static_cast<size_t>(cls - std::begin(kClasses));
    if (!class_holds[c]) return "class does not match the fields";

    const uint64_t N = static_cast<uint64_t>(n), h = header.size();
    const uint64_t d = std::set<uint64_t>(m.wisp.begin(), m.wisp.end()).size() == 6 ? 1 : 0;
    const Lines lines[] = {
        {0, 65, 169 + 5 * N + h - d},
        {48, 69, 173 + 5 * N + h - d},
        {48 + 4 * nn, 69 + 4 * nn, 175 + 5 * N + h + 12 * nn - d},
        {49 + 9 * nc + 4 * nn, 71 + 9 * nc + 4 * nn, 179 + 5 * N + h + 17 * nc + 12 * nn - d},
        {0, 67, 172 + 5 * N + h - d}};
    m.lines = lines[c];
    return "";
  }
};

}  // namespace

Model check(std::string_view text, std::string_view file_name) {
  Model m;
  Judge j(m);
  std::string& e = m.error;
  e = j.lines_and_keys(text);
  if (e.empty()) e = j.identity_and_header(file_name);
  if (e.empty()) e = j.placed_fields();
  if (e.empty()) e = j.old_names_claimed();
  if (e.empty()) e = j.sizes_and_class();
  return m;
}

std::string check_catalogue(const std::vector<Model>& defs) {
  std::set<uint64_t> ids;
  std::set<std::string> names;
  std::map<uint64_t, std::string> owner;
  for (const Model& m : defs) {
    if (!ids.insert(m.id).second) return "duplicate id " + std::to_string(m.id);
    if (!names.insert(m.name).second) return "duplicate name " + m.name;
    for (uint64_t w : m.wisp) {
      if (owner.emplace(w, m.name).first->second != m.name)
        return "wisp " + std::to_string(w) + " shared";
    }
  }
  if (ids.empty() || *ids.rbegin() - *ids.begin() != ids.size() - 1)
    return "ids not dense from the first";
  return "";
}

}  // namespace model
