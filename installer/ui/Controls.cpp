#include "Controls.h"

TComponent& TForm::AddControl(const WStr& name, TControlKind kind, const WStr& caption, TBounds bounds) {
  const WCHAR* cls = nullptr;
  DWORD style = WS_CHILD | WS_VISIBLE;
  switch (kind) {
    case TControlKind::Button:
    case TControlKind::BitBtn:
    case TControlKind::CheckBox:
    case TControlKind::GroupBox:
      cls = W_("BUTTON");
      break;
    case TControlKind::Label:
    case TControlKind::TabSheet:
      cls = W_("STATIC");
      break;
    case TControlKind::Image:
      cls = W_("STATIC");
      style |= SS_BITMAP | SS_NOTIFY;  // a picture set with STM_SETIMAGE; clicks reach the form
      break;
    case TControlKind::ProgressBar:
      cls = W_("msctls_progress32");
      break;
    case TControlKind::Edit:
      cls = W_("EDIT");
      break;
    case TControlKind::ListBox:
      cls = W_("LISTBOX");
      break;
    case TControlKind::ComboBox:
      cls = W_("COMBOBOX");
      style |= CBS_DROPDOWNLIST;
      break;
    case TControlKind::Timer:
      break;
  }
  // Stored first: the window's name property points into the component, which the deque keeps in place.
  Components.push_back({});
  TComponent& c = Components.back();
  c.Name = name;
  c.Kind = kind;
  if (cls) {
    c.Handle = CreateWindowExW(0, cls, caption.c_str(), style, bounds.Left, bounds.Top, bounds.Width, bounds.Height,
                               Handle, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(Components.size())), nullptr,
                               nullptr);
#ifndef _WIN32
    if (c.Handle) SetPropW(c.Handle, W_("winsim.name"), const_cast<WCHAR*>(c.Name.c_str()));
#endif
  }
  return c;
}

bool TMenuItem::IsSeparator() const { return Command == 0; }

TMenu::TMenu() : m_Handle(CreateMenu()) {}

TMenu::~TMenu() {
  if (m_Handle) DestroyMenu(m_Handle);
}

WStr TMenu::Caption(int i) const {
  WCHAR buf[512] = {};
  int n = GetMenuStringW(m_Handle, static_cast<UINT>(i), buf, 512, MF_BYPOSITION);
  return m_Items[static_cast<size_t>(i)].IsSeparator() ? WStr(W_("-")) : WStr(buf, static_cast<size_t>(n > 0 ? n : 0));
}

void TMenu::Add(const WStr& name, const WStr& caption) {
  if (caption == W_("-")) {
    AppendMenuW(m_Handle, MF_SEPARATOR, 0, nullptr);
    m_Items.push_back({name, 0});
    return;
  }
  UINT_PTR cmd = m_NextCommand++;
  AppendMenuW(m_Handle, MF_STRING, cmd, caption.c_str());
  m_Items.push_back({name, cmd});
}

void TMenu::SetCaption(int i, const WStr& caption) {
  const TMenuItem& item = m_Items[static_cast<size_t>(i)];
  ModifyMenuW(m_Handle, static_cast<UINT>(i), MF_BYPOSITION | MF_STRING, item.Command, caption.c_str());
}

void TMenu::Delete(int i) {
  DeleteMenu(m_Handle, static_cast<UINT>(i), MF_BYPOSITION);
  m_Items.erase(m_Items.begin() + i);
}
