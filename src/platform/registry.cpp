#include "platform/registry.h"

namespace upkeep {

namespace {
Registry* g_registry = nullptr;
}  // namespace

Registry* GetRegistry() { return g_registry != nullptr ? g_registry : DefaultRegistry(); }

void SetRegistry(Registry* registry) { g_registry = registry; }

int32_t QueryRegistryValue(RegistryRoot root, const std::string& path, const std::string& name,
                           uint32_t* type, uint8_t* data, uint32_t* size) {
  std::unique_ptr<RegistryKey> key;
  int32_t status = GetRegistry()->OpenKey(root, path, &key);
  if (status != kRegSuccess) return status;
  return key->QueryValue(name, type, data, size);
}

}  // namespace upkeep
