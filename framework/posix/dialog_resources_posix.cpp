// The dialog templates and their dialog-initialisation data, from the tables compiled in from
// the resource script.
#include <string>

#include "framework/backend.h"
#include "framework/dialog_template.h"

namespace fw {
namespace detail {

const DialogTemplate* FindDialogTemplate(unsigned id) {
  for (std::size_t i = 0; i < kDialogTemplateCount; ++i) {
    if (kDialogTemplates[i].id == id) return &kDialogTemplates[i];
  }
  return nullptr;
}

}  // namespace detail

namespace backend {

bool LoadDialogInitData(unsigned templateId, std::string& data) {
  data.clear();
  const detail::DialogTemplate* dialog = detail::FindDialogTemplate(templateId);
  if (dialog == nullptr || dialog->initSize == 0) return false;
  data.assign(dialog->initData, dialog->initSize);
  return true;
}

}  // namespace backend
}  // namespace fw
