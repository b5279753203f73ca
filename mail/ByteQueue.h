// A FIFO of bytes for data that waits to be written: appending and consuming from the front
// are amortised constant time per byte, so a long wait never copies the queue over and over.
#pragma once

#include <cstddef>
#include <string>

class CByteQueue {
 public:
  bool IsEmpty() const { return m_nStart == m_data.size(); }
  std::size_t Size() const { return m_data.size() - m_nStart; }
  const char* Data() const { return m_data.data() + m_nStart; }

  void Append(const char* data, std::size_t length) {
    if (length == 0) return;
    if (IsEmpty()) {
      m_data.clear();
      m_nStart = 0;
    } else if (m_nStart >= kCompactThreshold && m_nStart >= m_data.size() / 2) {
      m_data.erase(0, m_nStart);
      m_nStart = 0;
    }
    m_data.append(data, length);
  }

  void Consume(std::size_t length) {
    m_nStart += length < Size() ? length : Size();
    if (IsEmpty()) Clear();
  }

  void Clear() {
    m_data.clear();
    m_nStart = 0;
  }

 private:
  static constexpr std::size_t kCompactThreshold = 4096;

  std::string m_data;
  std::size_t m_nStart = 0;  // bytes at the front that were consumed already
};
