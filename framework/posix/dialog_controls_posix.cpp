// The controls of a CDialog in the posix backend: values kept in the dialog's state, made from
// the compiled-in template. What they show reaches the user through the terminal form.
#include "framework/posix/dialog_state.h"

namespace fw {

void CDialog::Impl::MakeControls(UINT templateId) {
  controls.clear();
  dialogTemplate = detail::FindDialogTemplate(templateId);
  if (dialogTemplate == nullptr) return;
  for (std::size_t i = 0; i < dialogTemplate->controlCount; ++i) {
    const detail::ControlTemplate& control = dialogTemplate->controls[i];
    controls.push_back({control.id, control.kind, control.text, {}, -1, 0, true});
  }
}

DialogControl* CDialog::Impl::Find(int id) {
  for (DialogControl& control : controls) {
    if (control.id == id) return &control;
  }
  return nullptr;
}

bool CDialog::GetDlgItemText(int id, std::string& text) const {
  text.clear();
  const DialogControl* control = m_impl->Find(id);
  if (control == nullptr) return false;
  if (control->kind == detail::ControlKind::kComboBox) {
    if (control->selection >= 0) text = control->items[static_cast<std::size_t>(control->selection)];
  } else {
    text = control->text;
  }
  return true;
}

void CDialog::SetDlgItemText(int id, std::string_view text) {
  DialogControl* control = m_impl->Find(id);
  if (control != nullptr && control->kind != detail::ControlKind::kComboBox) control->text = text;
}

void CDialog::LimitText(int id, std::size_t maxLength) {
  if (DialogControl* control = m_impl->Find(id)) control->limit = maxLength;
}

int CDialog::AddComboString(int id, std::string_view text) {
  DialogControl* control = m_impl->Find(id);
  if (control == nullptr || control->kind != detail::ControlKind::kComboBox) return -1;
  control->items.emplace_back(text);
  return static_cast<int>(control->items.size() - 1);
}

int CDialog::GetComboSelection(int id) const {
  const DialogControl* control = m_impl->Find(id);
  return control != nullptr ? control->selection : -1;
}

void CDialog::SetComboSelection(int id, int index) {
  DialogControl* control = m_impl->Find(id);
  if (control == nullptr) return;
  // As CB_SETCURSEL: an index outside the list clears the selection.
  control->selection = index >= 0 && static_cast<std::size_t>(index) < control->items.size() ? index : -1;
}

void CDialog::GotoDlgCtrl(int id) {
  if (m_impl->Find(id) != nullptr) m_impl->focusId = id;
}

void CDialog::EnableDlgItem(int id, bool enable) {
  if (DialogControl* control = m_impl->Find(id)) control->enabled = enable;
}

}  // namespace fw
