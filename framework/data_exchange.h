// Dialog data exchange as a table: each row joins a control of the dialog to a field of the
// dialog object, with the kind of transfer and its check. CDialog::UpdateData walks the table:
// to the controls (false) or, with the checks, from them (true).
//
// - Text: the control's text, at most `maxLength` characters (0: no limit). Edits are limited
//   to that length; a longer text shows FW_IDS_TEXT_TOO_LONG. Text with a character that
//   Windows-1252 cannot hold shows FW_IDS_TEXT_NOT_STORABLE.
// - Integer: a whole number in decimal, blanks around it allowed, from `minimum` to `maximum`;
//   anything else shows FW_IDS_INTEGER_RANGE.
// - Combo index: the selected item of a combo box (-1 for none).
// A failed check shows its message with the exclamation icon, moves the focus to the control
// and ends the transfer; the fields before it have been updated.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "framework/types.h"

namespace fw {

struct DataExchangeField {
  enum class Kind { kText, kInteger, kComboIndex };
  int controlId;
  Kind kind;
  std::string* text = nullptr;  // kText
  int* number = nullptr;        // kInteger, kComboIndex
  int minimum = 0;              // kInteger
  int maximum = 0;
  std::size_t maxLength = 0;  // kText; 0: no limit
};

inline DataExchangeField DdxText(int controlId, std::string& field, std::size_t maxLength = 0) {
  return {controlId, DataExchangeField::Kind::kText, &field, nullptr, 0, 0, maxLength};
}
inline DataExchangeField DdxInteger(int controlId, int& field, int minimum, int maximum) {
  return {controlId, DataExchangeField::Kind::kInteger, nullptr, &field, minimum, maximum, 0};
}
inline DataExchangeField DdxComboIndex(int controlId, int& field) {
  return {controlId, DataExchangeField::Kind::kComboIndex, nullptr, &field, 0, 0, 0};
}

// Reads a whole decimal number: optional blanks, an optional sign, digits, optional blanks,
// nothing else, and within the range of int.
bool ParseIntegerText(std::string_view text, int& value);

// One entry of a template's dialog-initialisation data (resource type 240): a message for a
// control with its data, such as a string that a combo box adds to its list.
struct DialogInitEntry {
  int controlId;
  UINT message;
  std::string data;  // for list strings: the text without its terminating zero
};
inline constexpr UINT kDlgInitComboAddString = 0x0403;  // as the resource compiler writes it
inline constexpr UINT kCbAddString = 0x0143;

// The entries of dialog-initialisation data, up to its closing zero id; an entry that would
// run past the end ends the list.
std::vector<DialogInitEntry> ParseDialogInit(std::string_view data);

}  // namespace fw
