// The portable part of CDialog: the default initialisation (initial list items, fields into
// the controls), OK and Cancel, the routing of its messages to them, and data exchange as a
// table (framework/data_exchange.h).
#include <cctype>
#include <climits>
#include <cstring>

#include "framework/backend.h"
#include "framework/data_exchange.h"
#include "framework/framework_res.h"
#include "framework/message_box.h"
#include "framework/strings.h"
#include "framework/wnd.h"

namespace fw {
namespace {

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::uint32_t ReadLittleEndian(std::string_view data, std::size_t at, std::size_t size) {
  std::uint32_t value = 0;
  for (std::size_t i = 0; i < size; ++i) {
    value |= static_cast<std::uint32_t>(static_cast<unsigned char>(data[at + i])) << (8 * i);
  }
  return value;
}

// Shows the message of a failed check and puts the focus on its control.
void Refuse(CDialog& dialog, int controlId, const std::string& message) {
  AfxMessageBox(message, kMbIconExclamation);
  dialog.GotoDlgCtrl(controlId);
}

}  // namespace

bool ParseIntegerText(std::string_view text, int& value) {
  std::size_t at = 0;
  while (at < text.size() && IsBlank(text[at])) ++at;
  std::size_t end = text.size();
  while (end > at && IsBlank(text[end - 1])) --end;
  bool negative = false;
  if (at < end && (text[at] == '-' || text[at] == '+')) negative = text[at++] == '-';
  if (at == end) return false;
  long long number = 0;
  for (; at < end; ++at) {
    if (!std::isdigit(static_cast<unsigned char>(text[at]))) return false;
    number = number * 10 + (text[at] - '0');
    if (number > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) number = -number;
  if (number > INT_MAX || number < INT_MIN) return false;
  value = static_cast<int>(number);
  return true;
}

std::vector<DialogInitEntry> ParseDialogInit(std::string_view data) {
  constexpr std::size_t kHeader = 8;  // control id (2), message (2), data size (4)
  std::vector<DialogInitEntry> entries;
  for (std::size_t at = 0; at + 2 <= data.size();) {
    const auto controlId = static_cast<int>(ReadLittleEndian(data, at, 2));
    if (controlId == 0 || at + kHeader > data.size()) break;
    const UINT message = ReadLittleEndian(data, at + 2, 2);
    const std::size_t size = ReadLittleEndian(data, at + 4, 4);
    at += kHeader;
    if (size > data.size() - at) break;
    std::string_view bytes = data.substr(at, size);
    at += size;
    if (message == kDlgInitComboAddString || message == kCbAddString) bytes = bytes.substr(0, bytes.find('\0'));
    entries.push_back({controlId, message, std::string(bytes)});
  }
  return entries;
}

bool CDialog::OnInitDialog() {
  AddInitialListItems();
  UpdateData(false);
  return true;
}

void CDialog::OnOK() {
  if (!IsModal()) return;
  if (UpdateData(true)) EndDialog(kIdOk);
}

void CDialog::OnCancel() {
  if (IsModal()) EndDialog(kIdCancel);
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kWmInitDialog) return OnInitDialog() ? 1 : 0;
  if (message == kWmClose && IsModal()) {
    OnCancel();
    return 0;
  }
  if (message == kWmCommand) {
    const int id = LoWord(wParam);
    if (id == kIdOk) {
      OnOK();
      return 0;
    }
    if (id == kIdCancel) {
      OnCancel();
      return 0;
    }
  }
  return CWnd::WindowProc(message, wParam, lParam);
}

std::vector<DataExchangeField> CDialog::DataExchangeTable() {
  return {};
}

void CDialog::AddInitialListItems() {
  std::string data;
  if (!backend::LoadDialogInitData(m_nTemplateId, data)) return;
  for (const DialogInitEntry& entry : ParseDialogInit(data)) {
    if (entry.message == kDlgInitComboAddString || entry.message == kCbAddString) {
      AddComboString(entry.controlId, entry.data);
    }
  }
}

bool CDialog::UpdateData(bool saveAndValidate) {
  using Kind = DataExchangeField::Kind;
  for (const DataExchangeField& field : DataExchangeTable()) {
    if (!saveAndValidate) {
      if (field.kind == Kind::kText) {
        SetDlgItemText(field.controlId, *field.text);
        LimitText(field.controlId, field.maxLength);
      } else if (field.kind == Kind::kInteger) {
        SetDlgItemText(field.controlId, std::to_string(*field.number));
      } else {
        SetComboSelection(field.controlId, *field.number);
      }
      continue;
    }
    if (field.kind == Kind::kComboIndex) {
      *field.number = GetComboSelection(field.controlId);
      continue;
    }
    std::string text;
    if (!GetDlgItemText(field.controlId, text)) {
      Refuse(*this, field.controlId, LoadString(FW_IDS_TEXT_NOT_STORABLE));
      return false;
    }
    if (field.kind == Kind::kText) {
      if (field.maxLength != 0 && text.size() > field.maxLength) {
        Refuse(*this, field.controlId, FormatId(FW_IDS_TEXT_TOO_LONG, static_cast<int>(field.maxLength)));
        return false;
      }
      *field.text = text;
      continue;
    }
    int value = 0;
    if (!ParseIntegerText(text, value) || value < field.minimum || value > field.maximum) {
      Refuse(*this, field.controlId, FormatId(FW_IDS_INTEGER_RANGE, field.minimum, field.maximum));
      return false;
    }
    *field.number = value;
  }
  return true;
}

}  // namespace fw
