// RegKey: ownership of an open registry key; how sub-key paths resolve.
#include "framework/registry.h"

#include "framework/strings.h"

namespace fw {

RegStatus RegSplitPath(std::string_view subKey, std::vector<std::string_view>& names) {
  names.clear();
  if (subKey.starts_with('\\')) return kErrorBadPathname;
  while (!subKey.empty()) {
    const std::size_t cut = subKey.find('\\');
    if (cut != 0) names.push_back(subKey.substr(0, cut));
    if (cut == std::string_view::npos) break;
    subKey.remove_prefix(cut + 1);
  }
  return kErrorSuccess;
}

bool RegPathContains(std::string_view outer, std::string_view inner) {
  std::vector<std::string_view> outerNames;
  std::vector<std::string_view> innerNames;
  if (RegSplitPath(outer, outerNames) != kErrorSuccess || RegSplitPath(inner, innerNames) != kErrorSuccess ||
      outerNames.size() > innerNames.size()) {
    return false;
  }
  for (std::size_t i = 0; i < outerNames.size(); ++i) {
    if (CompareNoCase(outerNames[i], innerNames[i]) != 0) return false;
  }
  return true;
}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    m_key = other.Release();
  }
  return *this;
}

RegStatus RegKey::Open(HKEY parent, const char* subKey) {
  Close();
  HKEY opened = nullptr;
  const RegStatus status = RegOpenKey(parent, subKey, &opened);
  if (status == kErrorSuccess) m_key = opened;
  return status;
}

RegStatus RegKey::Create(HKEY parent, const char* subKey) {
  Close();
  HKEY created = nullptr;
  const RegStatus status = RegCreateKey(parent, subKey, &created);
  if (status == kErrorSuccess) m_key = created;
  return status;
}

void RegKey::Close() {
  if (m_key != nullptr) RegCloseKey(m_key);
  m_key = nullptr;
}

HKEY* RegKey::Receive() {
  Close();
  return &m_key;
}

HKEY RegKey::Release() {
  HKEY key = m_key;
  m_key = nullptr;
  return key;
}

}  // namespace fw
