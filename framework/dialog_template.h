// The dialog templates of the module's resources, compiled in for builds without native
// resources (generated from the resource script at build time by cmake/rc_dialogs.py): each
// control's id, kind and text in the template's order, which is the tab order, and the
// template's dialog-initialisation data byte for byte.
#pragma once

#include <cstddef>

namespace fw::detail {

// kPasswordEdit: an edit with ES_PASSWORD, whose text is never shown.
enum class ControlKind { kStatic, kLine, kEdit, kPasswordEdit, kComboBox, kButton, kDefaultButton };

struct ControlTemplate {
  int id;
  ControlKind kind;
  const char* text;  // Windows-1252
};

struct DialogTemplate {
  unsigned id;
  const char* caption;  // Windows-1252
  const ControlTemplate* controls;
  std::size_t controlCount;
  const char* initData;  // resource type 240 of the same id (framework/data_exchange.h)
  std::size_t initSize;
};

extern const DialogTemplate kDialogTemplates[];
extern const std::size_t kDialogTemplateCount;

// The template `id`, or null.
const DialogTemplate* FindDialogTemplate(unsigned id);

}  // namespace fw::detail
