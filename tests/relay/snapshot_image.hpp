// SPDX-License-Identifier: Apache-2.0
// An object as a relay must publish it and a mirror hold it, made from its
// snapshot and the catalogue's pointer slots, not from the relay's code.
#pragma once

#include <string>

#include "zim/tables/catalogue.hpp"

namespace zim_relay_test {

// The object's snapshot, each array's two pointers as offsets from the
// snapshot's first byte; empty when no whole snapshot could be taken.
std::string snapshot_image(const zim_tables::catalogue::TableType& type, void* obj);

}  // namespace zim_relay_test
