// RegKey: ownership of an open registry key.
#include "framework/registry.h"

namespace fw {

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
