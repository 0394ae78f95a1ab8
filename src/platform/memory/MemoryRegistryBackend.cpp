#include "platform/memory/MemoryRegistryBackend.h"

namespace kestrove::memory {

std::vector<THiveMount> TMemoryRegistryBackend::Mounts() {
  return {{"Machine", "HKEY_LOCAL_MACHINE"},
          {"User\\.Default", "HKEY_USERS\\.Default"},
          {"User\\" + sid_, "HKEY_USERS\\" + sid_}};
}

}  // namespace kestrove::memory

namespace kestrove {

std::unique_ptr<RegistryStore> RegistryStore::CreateInMemory(std::string userSid) {
  return std::make_unique<THiveStore>(std::make_unique<memory::TMemoryRegistryBackend>(std::move(userSid)));
}

}  // namespace kestrove
