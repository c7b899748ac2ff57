#include "export/unavailable_export_media.h"

#include "app/log.h"

namespace kp {

std::optional<SourceDescription> UnavailableExportMedia::Describe(const std::wstring& /*input*/) {
  Log("export: no media reader in this build yet");
  return std::nullopt;
}

}  // namespace kp
