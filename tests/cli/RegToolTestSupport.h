// Runs the reg tool in-process against an in-memory registry, and helpers to build value data.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "cli/RegTool.h"
#include "platform/RegistryStore.h"

namespace kestrove::testing {

struct RegRun {
  int status = -1;
  std::string out;
  std::string err;
};

class RegToolFixture : public ::testing::Test {
 protected:
  // "reg ARGS..." with `input` as what the user types.
  RegRun Reg(const cli::Args& args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out, err;
    cli::RegToolIo io{in, out, err, false};
    RegRun r;
    r.status = cli::RunRegTool(args, [this](const TRegistryFocus*) -> RegistryStore& {
      ++opened_;
      return *store_;
    }, io);
    r.out = out.str();
    r.err = err.str();
    return r;
  }

  void Key(std::string_view path, TRootKey root = HKEY_CURRENT_USER) { ASSERT_TRUE(store_->CreateKey(root, path)); }
  void Set(std::string_view path, std::string_view name, std::uint32_t type, const Bytes& data,
           TRootKey root = HKEY_CURRENT_USER) {
    ASSERT_TRUE(store_->CreateKey(root, path));
    ASSERT_TRUE(store_->SetValue(root, path, name, type, data));
    store_->Commit();
  }
  std::optional<RegValue> Get(std::string_view path, std::string_view name, TRootKey root = HKEY_CURRENT_USER) {
    return store_->QueryValue(root, path, name);
  }

  static Bytes Sz(std::string_view text) { return Utf8ToUtf16Le(text, true); }
  static Bytes Dword(std::uint32_t v) {
    return Bytes{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v >> 16),
                 static_cast<std::uint8_t>(v >> 24)};
  }

  // Set() commits, so uncommitted changes after a command are the command's own.
  std::unique_ptr<RegistryStore> store_ = RegistryStore::CreateInMemory();
  int opened_ = 0;  // how often the command asked for the store
};

}  // namespace kestrove::testing
