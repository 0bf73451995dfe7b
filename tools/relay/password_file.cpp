// SPDX-License-Identifier: Apache-2.0
#include "password_file.hpp"

#include <fstream>

#include "codec/printable.hpp"

namespace zim_relay {
namespace {

constexpr size_t kMaxPasswordBytes = 4096;

}  // namespace

bool read_password(const std::string& path, std::string& password, std::string& why) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    why = "cannot read the password file " + zim_codec::quote(path);
    return false;
  }
  std::string text(kMaxPasswordBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  const size_t eol = text.find('\n');
  if (text.size() > kMaxPasswordBytes && eol == std::string::npos) {
    why = "the password file " + zim_codec::quote(path) + " holds more than " +
          std::to_string(kMaxPasswordBytes) + " bytes";
    return false;
  }
  password = text.substr(0, eol);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) {
    why = "the password file " + zim_codec::quote(path) + " holds no password";
    return false;
  }
  return true;
}

}  // namespace zim_relay
