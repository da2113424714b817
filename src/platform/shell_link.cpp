#include "platform/shell_link.h"

namespace upkeep {

namespace {
ShellLinks* g_shell_links = nullptr;
}  // namespace

ShellLinks* GetShellLinks() {
  return g_shell_links != nullptr ? g_shell_links : DefaultShellLinks();
}

void SetShellLinks(ShellLinks* links) { g_shell_links = links; }

}  // namespace upkeep
