// SPDX-License-Identifier: Apache-2.0
// One change into the local pool: an object only when its version is above
// the one recorded for its pool id, after its N, NPD size and layout are
// checked against this mirror's; an object of an older layout converted into
// this mirror's own first.
#include <zim/tables/platform.h>

#include "codec/fingerprint.hpp"
#include "mirror.hpp"

namespace zim_mirror {

Mirror::Step Mirror::layout_of(const Change& c, const SourceLayout*& layout) {
  layout = nullptr;
  const SourceLayout* known = layouts_.find(c.fingerprint);
  if (known == nullptr) {
    std::string message;
    std::optional<std::string> text;
    if (Outcome o = source_.layout_record(c.fingerprint, text, message); o != Outcome::done)
      return redis_failed(o, message);
    if (!text) {
      status_.line("skipped", {{"pool_id", c.pool_id},
                               {"why", "Redis holds no layout record " +
                                           zim_codec::fingerprint_hex(c.fingerprint)}});
      return go();
    }
    known = &layouts_.learn(c.fingerprint, c.table_id, *text, c.npus, c.npd_size);
    if (known->upgrade) {
      // A source of another version: told once per layout, with what an
      // older mirror drops of a newer source's objects.
      nlohmann::ordered_json fields{{"table_id", c.table_id},
                                    {"from", zim_codec::fingerprint_hex(c.fingerprint)}};
      if (const std::string dropped = known->upgrade->dropped(); !dropped.empty())
        fields["dropped"] = dropped;
      status_.line("converting", fields);
    }
  }
  if (!known->stopped.empty()) {
    if (stopped_.insert(c.table_id).second) {
      status_.line("stopped", {{"table_id", c.table_id}, {"why", known->stopped}});
    }
    return go();
  }
  if (known->layout->table_id == c.table_id) layout = known;
  return go();
}

Mirror::Step Mirror::apply_object(const Change& c) {
  MirrorState& state = pool_.state();
  if (state.version_of(c.pool_id) >= c.version) return ++dropped_, go();
  const uint32_t npus = hulcon_config_get_max_num_npus();
  const uint32_t npd_size = qor_npd_get_table_size(c.table_id);
  if (c.npus != npus || c.npd_size != npd_size) {
    return end(kRefused, "the source's objects of table id " + std::to_string(c.table_id) +
                             " are sized for N " + std::to_string(c.npus) + " and NPD size " +
                             std::to_string(c.npd_size) + "; this mirror's are for N " +
                             std::to_string(npus) + " and NPD size " + std::to_string(npd_size));
  }
  const SourceLayout* layout = nullptr;
  if (Step s = layout_of(c, layout); s.kind != Step::go || layout == nullptr) return s;
  std::string why;
  Change converted;
  const bool put = layout->upgrade
                       ? layout->upgrade->convert(c, *layout->layout, converted, why) &&
                             pool_.put_object(converted, layout->upgrade->own(), why)
                       : pool_.put_object(c, *layout->layout, why,
                                          layout->received ? &*layout->received : nullptr);
  if (!put) {
    status_.line("skipped", {{"pool_id", c.pool_id}, {"version", c.version}, {"why", why}});
    return go();
  }
  if (!state.record(c.pool_id, c.table_id, c.version, false)) {
    return end(kPoolFailed, "the mirror's record is full: give --objects more");
  }
  state.count_applied();
  ++applied_;
  return go();
}

Mirror::Step Mirror::apply(const Change& c) {
  MirrorState& state = pool_.state();
  switch (c.kind) {
    case Publication::object:
      return apply_object(c);
    case Publication::retired:
      if (state.version_of(c.pool_id) >= c.version) return ++dropped_, go();
      pool_.retire(c.pool_id);
      if (!state.record(c.pool_id, c.table_id, c.version, true)) {
        return end(kPoolFailed, "the mirror's record is full: give --objects more");
      }
      state.count_applied();
      ++applied_;
      return go();
    case Publication::indexed:
      pool_.put_key({c.table_id, c.key}, c.pool_id);
      return go();
    case Publication::unindexed:
      pool_.remove_key({c.table_id, c.key});
      return go();
  }
  return go();
}

}  // namespace zim_mirror
